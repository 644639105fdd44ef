// Must not compile: an error keeps its fixed text by pointer until it is raised,
// so the text type takes literals and constants only, never a temporary's characters.
// The test passes when the compiler says so (see CMakeLists.txt).
#include <string>

#include "static_text.hpp"

constexpr marundex::runtime::StaticText a_literal = "a literal is fine";

marundex::runtime::StaticText dangling(const std::string& title) {
    return (title + " array must be writeable").c_str();
}
