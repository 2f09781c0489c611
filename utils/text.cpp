// Trimming, editing and splitting of text.
#include <string.h>

#include <boost/scoped_array.hpp>

#include "nesk_utils.h"

namespace {

// The white space that trim removes; vertical tab and form feed are not in it.
const char trim_set[] = " \n\r\t";

// Copies `text` into a scratch buffer and splits it at every character of
// `delimiters`, handing each non-empty piece to `add`.
template <typename Add>
void split(const char* text, const char* delimiters, Add add) {
    if (text == nullptr) return;
    if (delimiters == nullptr) delimiters = "";
    size_t length = strlen(text);
    boost::scoped_array<char> copy(new char[length + 2]);
    memcpy(copy.get(), text, length + 1);
    copy[length + 1] = '\0';
    char* state = nullptr;
    for (char* token = strtok_r(copy.get(), delimiters, &state); token != nullptr;
         token = strtok_r(nullptr, delimiters, &state))
        add(token);
}

}  // namespace

std::string nesk_utils::trim(std::string s) { return trim_right(trim_left(s, trim_set), trim_set); }

std::string nesk_utils::trim_left(std::string s, std::string set) {
    size_t first = s.find_first_not_of(set);
    if (first == std::string::npos) return std::string();
    return s.substr(first);
}

std::string nesk_utils::trim_right(std::string s, std::string set) {
    size_t last = s.find_last_not_of(set);
    if (last == std::string::npos) return std::string();
    return s.substr(0, last + 1);
}

std::string nesk_utils::append(std::string& list, std::string item, std::string separator) {
    if (!item.empty()) {
        if (!list.empty()) list += separator;
        list += item;
    }
    return list;
}

void nesk_utils::modify_str(std::string& s, std::string from, std::string to) {
    if (from.empty()) return;
    const size_t length = from.size();
    if (to.find(from) != std::string::npos) {
        // Searching the replacement again would never end: replace each
        // occurrence once, continuing after the inserted text.
        for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos)) {
            s.replace(pos, length, to);
            pos += to.size();
        }
        return;
    }
    // Each search behaves as if it started again at the beginning, so text
    // formed by a replacement is replaced too. Nothing before the previous
    // match changed, and no match ended there (that match was the first), so
    // the search may resume `length` - 1 characters before it.
    for (size_t pos = s.find(from); pos != std::string::npos;) {
        s.replace(pos, length, to);
        pos = s.find(from, pos >= length - 1 ? pos - (length - 1) : 0);
    }
}

std::string nesk_utils::get_last_chars(std::string s, int n) {
    if (n <= 0 || s.size() <= static_cast<size_t>(n)) return std::string();
    return s.substr(s.size() - static_cast<size_t>(n));
}

int nesk_utils::get_name_value_pair(std::string line, std::string& name, std::string& value) {
    return get_name_value_pair(line, ':', name, value);
}

int nesk_utils::get_name_value_pair(std::string line, char separator, std::string& name,
                                    std::string& value) {
    size_t pos = line.find(separator);
    if (pos == std::string::npos) return -2;
    name = trim(line.substr(0, pos));
    value = trim(line.substr(pos + 1));
    return 0;
}

void nesk_utils::tokenize(char* text, char* delimiters, std::list<std::string>& tokens) {
    tokens.clear();
    split(text, delimiters, [&tokens](const char* token) { tokens.emplace_back(token); });
}

void nesk_utils::tokenize(char* text, char* delimiters, std::vector<std::string>& tokens) {
    tokens.clear();
    split(text, delimiters, [&tokens](const char* token) {
        if (*token != '\0') tokens.emplace_back(token);
    });
}

bool nesk_utils::is_present(std::list<std::string>& items, std::string s) {
    for (const std::string& item : items)
        if (strcmp(item.c_str(), s.c_str()) == 0) return true;
    return false;
}
