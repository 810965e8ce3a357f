// StatusField: the window's status text, read-only and selectable so that
// the unit's answer can be copied. A text without spaces wraps anywhere, and
// one longer than the field scrolls: the field's size never follows its
// text, so that no answer can widen the window. It is at least three lines
// high.
//
// text() gives back exactly what setText() was given, a carriage return and
// line feed included, although the field shows every line break alike.
//
// Threading: GUI thread only.
#pragma once

#include <QPlainTextEdit>
#include <QString>

namespace valmor {

class StatusField : public QPlainTextEdit {
 public:
  explicit StatusField(QWidget* parent = nullptr);

  void setText(const QString& text);
  const QString& text() const { return text_; }

 private:
  QString text_;
};

}  // namespace valmor
