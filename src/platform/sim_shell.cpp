#include "platform/sim_shell.h"

#include <unistd.h>

#include <array>

namespace {

constexpr std::array<std::string_view, 7> kPlatformTools = {
    "abctl", "marvane_dev_info", "ubidetach", "mount", "umount", "df", "reboot"};

constexpr std::array<std::string_view, 16> kPrefixWords = {
    "!", "exec", "command", "env", "nohup", "time", "sudo", "if", "then",
    "elif", "else", "do", "while", "until", "{", "xargs"};

bool is_assignment(std::string_view w) {
    size_t eq = w.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    for (size_t i = 0; i < eq; ++i) {
        char c = w[i];
        bool ok = c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (i > 0 && c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

bool is_redirection(std::string_view w) {
    size_t i = 0;
    while (i < w.size() && w[i] >= '0' && w[i] <= '9') ++i;
    return i < w.size() && (w[i] == '<' || w[i] == '>');
}

}  // namespace

std::vector<std::string> sim_command_words(std::string_view cmd) {
    std::vector<std::string> out;
    bool at_command = true;  // the next word stands in command position
    std::string word;
    bool in_word = false;

    auto finish_word = [&] {
        if (!in_word) return;
        in_word = false;
        if (at_command) {
            if (is_assignment(word) || is_redirection(word)) {
                // still waiting for the command word
            } else {
                out.push_back(word);
                bool prefix = false;
                for (auto p : kPrefixWords)
                    if (word == p) prefix = true;
                at_command = prefix;
            }
        }
        word.clear();
    };

    for (size_t i = 0; i < cmd.size(); ++i) {
        char c = cmd[i];
        if (c == '\\' && i + 1 < cmd.size()) {
            word += cmd[++i];
            in_word = true;
        } else if (c == '\'') {
            size_t end = cmd.find('\'', i + 1);
            if (end == std::string_view::npos) end = cmd.size();
            word.append(cmd.substr(i + 1, end - i - 1));
            in_word = true;
            i = end;
        } else if (c == '"') {
            // Inside double quotes a substitution can still run a command.
            size_t j = i + 1;
            while (j < cmd.size() && cmd[j] != '"') {
                if (cmd[j] == '\\' && j + 1 < cmd.size()) {
                    word += cmd[j + 1];
                    j += 2;
                    continue;
                }
                if (cmd[j] == '$' && j + 1 < cmd.size() && cmd[j + 1] == '(') {
                    size_t close = cmd.find(')', j);
                    if (close == std::string_view::npos) close = cmd.size();
                    for (auto& w : sim_command_words(cmd.substr(j + 2, close - j - 2))) out.push_back(w);
                    j = close + 1;
                    continue;
                }
                word += cmd[j++];
            }
            in_word = true;
            i = j;
        } else if (c == ' ' || c == '\t') {
            finish_word();
        } else if (c == ';' || c == '&' || c == '|' || c == '\n' || c == '(' || c == ')' || c == '`') {
            finish_word();
            at_command = true;
        } else if (c == '$' && i + 1 < cmd.size() && cmd[i + 1] == '(') {
            finish_word();
            at_command = true;
            ++i;
        } else {
            word += c;
            in_word = true;
        }
    }
    finish_word();
    return out;
}

std::string sim_missing_platform_tool(std::string_view cmd, const std::string& root) {
    for (const std::string& w : sim_command_words(cmd)) {
        size_t slash = w.rfind('/');
        std::string_view base = slash == std::string::npos ? std::string_view(w) : std::string_view(w).substr(slash + 1);
        bool tool = false;
        for (auto t : kPlatformTools)
            if (base == t) tool = true;
        if (!tool) continue;
        std::string own = root + "/bin/" + std::string(base);
        if (slash != std::string::npos && w != own) return std::string(base);
        if (::access(own.c_str(), X_OK) != 0) return std::string(base);
    }
    return std::string();
}
