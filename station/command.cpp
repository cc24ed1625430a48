#include "station/command.h"

#include <cctype>

bool CommandSplit(const std::string& text, std::vector<std::string>& words, std::string& reason) {
    words.clear();
    std::string word;
    bool bInWord = false;
    char quote = 0;
    for (char c : text) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word.push_back(c);
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            bInWord = true;
        } else if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            if (bInWord) {
                words.push_back(word);
                word.clear();
                bInWord = false;
            }
        } else {
            word.push_back(c);
            bInWord = true;
        }
    }
    if (quote != 0) {
        reason = quote == '"' ? "a double quote is not closed" : "a single quote is not closed";
        return false;
    }
    if (bInWord) {
        words.push_back(word);
    }
    if (words.empty() || words.front().empty()) {
        reason = "no program named";
        return false;
    }
    return true;
}

std::vector<std::string> CommandFill(const std::vector<std::string>& words,
                                     const std::map<std::string, std::string>& values) {
    std::vector<std::string> filled;
    for (const std::string& word : words) {
        std::string out;
        for (std::size_t pos = 0; pos < word.size();) {
            const std::size_t close = word[pos] == '{' ? word.find('}', pos) : std::string::npos;
            const auto value =
                close == std::string::npos ? values.end() : values.find(word.substr(pos + 1, close - pos - 1));
            if (value != values.end()) {
                out += value->second;
                pos = close + 1;
            } else {
                out.push_back(word[pos++]);
            }
        }
        filled.push_back(std::move(out));
    }
    return filled;
}

std::string CommandShown(const std::vector<std::string>& argv) {
    std::string shown;
    for (const std::string& word : argv) {
        if (!shown.empty()) {
            shown.push_back(' ');
        }
        shown += word;
    }
    return shown;
}

std::string CommandLastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const std::size_t start = text.find_last_of("\r\n");
    return start == std::string::npos ? text : text.substr(start + 1);
}
