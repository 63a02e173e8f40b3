// Help text that reads well at 80 columns: on a terminal, in a pipe and in
// the manual page made from it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace CLI {
class Formatter;
}

namespace qvr::cli {

constexpr std::size_t HelpWidth = 80;

// The text's words in lines of at most `width` columns (a longer word has
// a line of its own); its own line breaks stay.
std::string WrapWords(std::string_view text, std::size_t width);

// CLI11's help layout with every description wrapped so that no line of
// the help is wider than HelpWidth.
std::shared_ptr<CLI::Formatter> MakeHelpFormatter();

}  // namespace qvr::cli
