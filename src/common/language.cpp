#include "common/language.h"

#include <atomic>

namespace qrv {

namespace {
std::atomic<int> g_language{0};
}

int Get_Language() { return g_language.load(); }
void Set_Language(int language) { g_language.store(language); }

std::string Translate_Text(const std::string&) { return {}; }

std::string Tr(const std::string& text) { return text; }

} // namespace qrv
