// The download bar: a bordered area that shows what was last painted into it. Qt repaints it from
// an offscreen image, so covering and uncovering the window keeps the bar; erasing the image is
// what empties it.
#pragma once

#include <QFrame>
#include <QImage>

namespace romlift {

class ProgressArea : public QFrame {
    Q_OBJECT
  public:
    explicit ProgressArea(QWidget* parent = nullptr);

    // Paints the bar from (1,1) to (x,15), right and bottom edges exclusive, in the area's inner
    // pixels: black outline, dark red inside, cut off at the border. Shows at once.
    void PaintBar(int x);
    // Forgets the bar; the next paint shows the area empty. Does not repaint by itself.
    void EraseBar();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void FitImage();
    QImage bar_;
};

}  // namespace romlift
