// Builders of the dialogs' grid rows that show one source's figures and take
// a sector range: the caption before a field, a value label, a sector field.
#pragma once

class QLabel;
class QLineEdit;
class QWidget;

namespace qrv::app {

// A caption, right-aligned against the field after it.
QLabel* Caption(QWidget* parent, const char* text);
// An empty label named name that a figure of the source fills, at least minWidth wide.
QLabel* Value_Label(QWidget* parent, const char* name, int minWidth);
// A sector field named name: digits, backspace and the full stop; other keys
// are dropped. At least minWidth wide when minWidth is above 0.
QLineEdit* Sector_Field(QWidget* parent, const char* name, int minWidth = 0);

} // namespace qrv::app
