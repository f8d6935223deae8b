// Texts between the core, which speaks UTF-8 std::string, and Qt.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

namespace qrv::app {

inline QString U(const char* text) { return QString::fromUtf8(text); }
inline QString U(const std::string& text) { return QString::fromStdString(text); }
// A whole number as decimal text.
inline QString N(int64_t v) { return QString::number(qlonglong(v)); }

} // namespace qrv::app
