#include "help_format.h"

#include <CLI/CLI.hpp>

namespace qvr::cli {
namespace {

// Columns a UTF-8 text takes on a terminal: one per character.
std::size_t Columns(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

void WrapLine(std::string_view line, std::size_t width, std::string& out) {
    std::size_t used = 0;
    while (!line.empty()) {
        const auto start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const auto end = std::min(line.find(' '), line.size());
        const std::string_view word = line.substr(0, end);
        line.remove_prefix(end);
        const std::size_t columns = Columns(word);
        if (used > 0 && used + 1 + columns > width) {
            out += '\n';
            used = 0;
        }
        if (used > 0) {
            out += ' ';
            ++used;
        }
        out += word;
        used += columns;
    }
}

class WrappingFormatter : public CLI::Formatter {
public:
    std::string make_option_desc(const CLI::Option* option) const override {
        return WrapWords(option->get_description(), DescriptionWidth());
    }
    std::string make_subcommand(const CLI::App* sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(true), WrapWords(sub->get_description(), DescriptionWidth()),
                                 get_column_width());
        return out.str();
    }

private:
    // Descriptions start at the column width (CLI11 pads the option names to it).
    std::size_t DescriptionWidth() const { return HelpWidth - get_column_width(); }
};

}  // namespace

std::string WrapWords(std::string_view text, std::size_t width) {
    std::string out;
    for (std::size_t at = 0; at <= text.size();) {
        auto stop = text.find('\n', at);
        if (stop == std::string_view::npos) stop = text.size();
        if (at > 0) out += '\n';
        WrapLine(text.substr(at, stop - at), width, out);
        at = stop + 1;
    }
    return out;
}

std::shared_ptr<CLI::Formatter> MakeHelpFormatter() { return std::make_shared<WrappingFormatter>(); }

}  // namespace qvr::cli
