#include "app/status_field.h"

#include <QScrollBar>

namespace valmor {

StatusField::StatusField(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // A panel of the window rather than a box to type in.
  setBackgroundRole(QPalette::Window);
  viewport()->setBackgroundRole(QPalette::Window);
  const int margins = 2 * (frameWidth() + static_cast<int>(document()->documentMargin()));
  setMinimumHeight(3 * fontMetrics().lineSpacing() + margins);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void StatusField::setText(const QString& text) {
  text_ = text;
  setPlainText(text);
}

}  // namespace valmor
