// Builders of the dialogs' grid rows that show one source's figures and take
// a sector range: the caption before a field, a value label, a sector field.
#pragma once

#include <initializer_list>

class QGridLayout;
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

// The grid of a range group box (scan range, imaging range): seven captioned
// fields - the model over the whole row, then two a row, the sector range on
// the last row - and the reset button after the range. captions and fields
// hold seven each, in that order; captions are made in parent.
void Place_RangeGrid(QGridLayout* g, QWidget* parent, std::initializer_list<const char*> captions,
                     std::initializer_list<QWidget*> fields, QWidget* resetButton);

} // namespace qrv::app
