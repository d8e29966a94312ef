// The view: a fixed grey field in the top-left corner, the window background elsewhere.
#pragma once

#include <QWidget>

namespace romlift {

class CVekView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kFieldWidth = 1100;
    static constexpr int kFieldHeight = 800;

    explicit CVekView(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace romlift
