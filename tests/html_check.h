// A strict check of the pages pmctl writes: every element closed in order, attributes quoted, no
// markup character loose in the text, only the entities the page uses. Stricter than a browser, so
// a fault in escaping shows here before any browser hides it.
#ifndef TESTS_HTML_CHECK_H
#define TESTS_HTML_CHECK_H

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace pmctltest {

// Returns "" when the page is well formed, else what is wrong and where.
inline std::string htmlProblem(std::string_view page)
{
    const std::vector<std::string_view> voidElements = {"meta", "br", "hr", "img", "input", "link"};
    std::vector<std::string> open;
    size_t pos = 0;
    auto at = [&](size_t p) { return " at offset " + std::to_string(p); };
    const std::string doctype = "<!DOCTYPE html>";
    if (page.substr(0, doctype.size()) != doctype)
        return "no doctype";
    pos = doctype.size();
    while (pos < page.size()) {
        char c = page[pos];
        if (c == '>' || c == '"' || c == '\'')
            return std::string("loose '") + c + "' in text" + at(pos);
        if (c == '&') {
            bool known = false;
            for (std::string_view entity : {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"}) {
                if (page.substr(pos, entity.size()) == entity) {
                    known = true;
                    pos += entity.size();
                    break;
                }
            }
            if (!known)
                return "unknown entity" + at(pos);
            continue;
        }
        if (c != '<') {
            ++pos;
            continue;
        }
        size_t start = pos++;
        bool closing = pos < page.size() && page[pos] == '/';
        if (closing)
            ++pos;
        size_t nameStart = pos;
        while (pos < page.size() &&
               ((page[pos] >= 'a' && page[pos] <= 'z') || (page[pos] >= '0' && page[pos] <= '9')))
            ++pos;
        std::string name(page.substr(nameStart, pos - nameStart));
        if (name.empty())
            return "'<' that starts no tag" + at(start);
        // Attributes: name="value" pairs, the value free of '<' and '"'.
        while (pos < page.size() && page[pos] != '>') {
            char a = page[pos];
            if (a == ' ' || (a >= 'a' && a <= 'z') || a == '-') {
                ++pos;
            } else if (a == '=' && pos + 1 < page.size() && page[pos + 1] == '"') {
                size_t end = page.find('"', pos + 2);
                if (end == std::string_view::npos)
                    return "unclosed attribute" + at(pos);
                if (page.substr(pos + 2, end - pos - 2).find('<') != std::string_view::npos)
                    return "'<' in an attribute" + at(pos);
                pos = end + 1;
            } else {
                return std::string("unexpected '") + a + "' in tag <" + name + ">" + at(pos);
            }
        }
        if (pos >= page.size())
            return "unclosed tag" + at(start);
        ++pos;
        if (closing) {
            if (open.empty() || open.back() != name)
                return "</" + name + "> closes " + (open.empty() ? "nothing" : open.back()) +
                       at(start);
            open.pop_back();
        } else if (name == "style") {
            size_t end = page.find("</style>", pos);
            if (end == std::string_view::npos)
                return "unclosed style";
            pos = end + 8;
        } else if (std::find(voidElements.begin(), voidElements.end(), name) ==
                   voidElements.end()) {
            open.push_back(name);
        }
    }
    if (!open.empty())
        return "<" + open.back() + "> never closed";
    return "";
}

} // namespace pmctltest

#endif // TESTS_HTML_CHECK_H
