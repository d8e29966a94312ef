// The document: it holds no data. Storing it writes an empty file, loading it reads nothing; only
// the path it was last saved to or opened from is kept, as the window toolkit would.
#pragma once

#include <QString>

namespace romlift {

class CVekDoc {
  public:
    CVekDoc();

    // Opens `path` for reading and reads nothing; false when the file cannot be opened.
    bool Open(const QString& path);
    // Writes an empty file; false when it cannot be written.
    bool Save(const QString& path);

    const QString& PathName() const { return path_; }
    // The title the toolkit shows: the file name, or "Untitled" before the first Save.
    QString Title() const;

    // Documents made so far in this process (commands must not make new ones).
    static int Created();

  private:
    QString path_;
};

}  // namespace romlift
