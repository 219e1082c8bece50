// The log message catalogue in docs/log-messages.md against the messages
// the driver's sources can log: every format passed to err() must be listed
// with its level, and every listed message must still be in the code.
//
// Catalogue markup: a table row whose first cell is the message in
// backticks and whose second cell is its level, e.g.
//   | `TELDRV> ColdStart() exit OK` | 64 | meaning | action |
// A message logged at more than one level lists them as "64 or 32".
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef TELDRV_SOURCE_DIR
#error "TELDRV_SOURCE_DIR must name the source tree"
#endif

namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = TELDRV_SOURCE_DIR;
const char* const kDriverDirs[] = {"driver", "config", "serial", "link", "capture", "calls"};
const char* const kCatalogue = "docs/log-messages.md";

// Formats that reach err() through a variable rather than as a literal at
// the call site; their messages are the tagged literals of the same file
// that are not themselves err() formats. The alarm-call alert text is
// formatted with snprintf and then passed to err() as the format (by
// RaiseAlert, at a level that depends on the alert class); the requests'
// wrong-length messages are chosen by request (LengthAccepted); a modem
// command's two failure messages are given to the step that sends it and
// waits for its OK (CommandStep).
struct IndirectFormat {
    const char* file;      // relative to the source dir
    const char* argument;  // the format argument at the err() call
};
const IndirectFormat kIndirectFormats[] = {
    {"calls/auto_answer.cpp", "text"},
    {"link/session.cpp", "WrongLengthMessage(request)"},
    {"serial/modem.cpp", "sendFailed"},
    {"serial/modem.cpp", "noReply"},
};

// ---------------------------------------------------------------------------
// A small C++ tokenizer: enough to find calls and string literals with
// comments, character literals and raw strings out of the way.

struct Token {
    enum Kind { Identifier, Number, String, Char, Punct } kind;
    std::string text;  // identifier/number/punct text; decoded value of a string
    int line;
};

std::string DecodeEscapes(const std::string& body) {
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 == body.size()) {
            out += body[i];
            continue;
        }
        const char c = body[++i];
        switch (c) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case '\'': out += '\''; break;
            default:
                out += '\\';
                out += c;
        }
    }
    return out;
}

std::vector<Token> Tokenize(const std::string& src) {
    std::vector<Token> tokens;
    int line = 1;
    size_t i = 0;
    const size_t n = src.size();
    auto isIdent = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    while (i < n) {
        const char c = src[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '/' && i + 1 < n && src[i + 1] == '/') {
            while (i < n && src[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < n && src[i + 1] == '*') {
            i += 2;
            while (i + 1 < n && !(src[i] == '*' && src[i + 1] == '/')) {
                if (src[i] == '\n') ++line;
                ++i;
            }
            i += 2;
        } else if (c == 'R' && i + 1 < n && src[i + 1] == '"') {
            // Raw string: R"delim( ... )delim"
            const size_t open = src.find('(', i + 2);
            const std::string delim = src.substr(i + 2, open - (i + 2));
            const std::string close = ")" + delim + "\"";
            const size_t end = src.find(close, open);
            const std::string body = src.substr(open + 1, end - open - 1);
            tokens.push_back({Token::String, body, line});
            line += static_cast<int>(std::count(body.begin(), body.end(), '\n'));
            i = end + close.size();
        } else if (c == '"' || c == '\'') {
            const int startLine = line;
            size_t j = i + 1;
            while (j < n && src[j] != c) {
                if (src[j] == '\\') ++j;
                if (j < n && src[j] == '\n') ++line;
                ++j;
            }
            tokens.push_back({c == '"' ? Token::String : Token::Char, DecodeEscapes(src.substr(i + 1, j - i - 1)),
                              startLine});
            i = j + 1;
        } else if (isIdent(c)) {
            size_t j = i;
            while (j < n && (isIdent(src[j]) || (std::isdigit(static_cast<unsigned char>(c)) && src[j] == '\''))) ++j;
            // Prefixed literals (u8"...", L"...") are strings of their own.
            if (j < n && (src[j] == '"' || src[j] == '\'') && !std::isdigit(static_cast<unsigned char>(c))) {
                const std::string prefix = src.substr(i, j - i);
                if (prefix == "u8" || prefix == "u" || prefix == "U" || prefix == "L") {
                    i = j;
                    continue;
                }
            }
            tokens.push_back({std::isdigit(static_cast<unsigned char>(c)) ? Token::Number : Token::Identifier,
                              src.substr(i, j - i), line});
            i = j;
        } else if (c == ':' && i + 1 < n && src[i + 1] == ':') {
            tokens.push_back({Token::Punct, "::", line});
            i += 2;
        } else if (c == '-' && i + 1 < n && src[i + 1] == '>') {
            tokens.push_back({Token::Punct, "->", line});
            i += 2;
        } else {
            tokens.push_back({Token::Punct, std::string(1, c), line});
            ++i;
        }
    }
    return tokens;
}

bool IsTagged(const std::string& text) { return text.rfind("TELDRV> ", 0) == 0 || text.rfind("TELDRV, ", 0) == 0; }

// One err() call as the scanner sees it.
struct LogCall {
    std::string where;                 // file:line
    std::optional<int> level;          // when the level is a literal or a named level
    std::optional<std::string> format; // when the format is a literal (adjacent literals joined)
    std::string formatArgument;        // the format argument's text when it is not a literal
};

struct ScanResult {
    std::vector<LogCall> calls;
    std::vector<std::pair<std::string, std::string>> taggedLiterals;  // where, text: every tagged literal run
};

std::optional<int> LevelOf(const std::vector<Token>& arg) {
    std::vector<Token> tokens = arg;
    if (!tokens.empty() && tokens[0].text == "::") tokens.erase(tokens.begin());
    if (tokens.size() != 1) return std::nullopt;
    const std::string& t = tokens[0].text;
    if (tokens[0].kind == Token::Number) {
        try {
            return std::stoi(t, nullptr, 0);
        } catch (...) {
            return std::nullopt;
        }
    }
    static const std::map<std::string, int> kNamed = {{"kLogRetry", 8}, {"kLogError", 32}, {"kLogInfo", 64}};
    const auto it = kNamed.find(t);
    if (it == kNamed.end()) return std::nullopt;
    return it->second;
}

ScanResult ScanSource(const std::string& source, const std::string& fileName) {
    ScanResult result;
    const std::vector<Token> tokens = Tokenize(source);
    auto where = [&](int line) { return fileName + ":" + std::to_string(line); };

    // Every run of adjacent string literals, joined as the compiler joins them.
    for (size_t i = 0; i < tokens.size();) {
        if (tokens[i].kind != Token::String) {
            ++i;
            continue;
        }
        std::string joined;
        const int line = tokens[i].line;
        while (i < tokens.size() && tokens[i].kind == Token::String) joined += tokens[i++].text;
        if (IsTagged(joined)) result.taggedLiterals.emplace_back(where(line), joined);
    }

    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i].kind != Token::Identifier || tokens[i].text != "err" || tokens[i + 1].text != "(") continue;
        // A member called err is somebody else's.
        if (i > 0 && (tokens[i - 1].text == "." || tokens[i - 1].text == "->")) continue;
        // A declaration or definition of err names a type before it.
        static const std::set<std::string> kStatementWords = {"return", "else", "do"};
        if (i > 0 && tokens[i - 1].kind == Token::Identifier && kStatementWords.count(tokens[i - 1].text) == 0) {
            continue;
        }
        std::vector<std::vector<Token>> args(1);
        int depth = 0;
        size_t j = i + 1;
        for (; j < tokens.size(); ++j) {
            const std::string& t = tokens[j].text;
            if (tokens[j].kind == Token::Punct && (t == "(" || t == "[" || t == "{")) {
                if (depth++ == 0) continue;
            } else if (tokens[j].kind == Token::Punct && (t == ")" || t == "]" || t == "}")) {
                if (--depth == 0) break;
            } else if (tokens[j].kind == Token::Punct && t == "," && depth == 1) {
                args.emplace_back();
                continue;
            }
            args.back().push_back(tokens[j]);
        }
        LogCall call;
        call.where = where(tokens[i].line);
        call.level = LevelOf(args[0]);
        if (args.size() >= 2) {
            const std::vector<Token>& format = args[1];
            const bool literal = !format.empty() && std::all_of(format.begin(), format.end(), [](const Token& t) {
                return t.kind == Token::String;
            });
            if (literal) {
                std::string joined;
                for (const Token& t : format) joined += t.text;
                call.format = joined;
            } else {
                for (const Token& t : format) call.formatArgument += t.text;
            }
        }
        result.calls.push_back(call);
        i = j;
    }
    return result;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What the code can log: a message, the levels it is logged at and the
// places that log it; levelUnknown when some call's level is not a literal.
struct CodeMessage {
    std::set<int> levels;
    bool levelUnknown = false;
    std::vector<std::string> where;
};

struct CodeScan {
    std::map<std::string, CodeMessage> messages;
    std::vector<std::string> problems;  // things the scan itself refuses
};

CodeScan ScanDriver() {
    CodeScan scan;
    std::vector<fs::path> files;
    for (const char* dir : kDriverDirs) {
        for (const auto& entry : fs::recursive_directory_iterator(kSourceDir / dir)) {
            const std::string ext = entry.path().extension().string();
            if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h" || ext == ".inc")) files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        const std::string rel = fs::relative(path, kSourceDir).generic_string();
        const ScanResult result = ScanSource(ReadText(path), rel);
        std::set<std::string> directFormats;
        std::set<int> indirectLevels;
        bool indirectLevelUnknown = false;
        bool indirectUsed = false;
        for (const LogCall& call : result.calls) {
            if (call.format) {
                directFormats.insert(*call.format);
                if (!IsTagged(*call.format)) {
                    scan.problems.push_back(call.where + ": message does not begin with \"TELDRV> \" or \"TELDRV, \": " +
                                            *call.format);
                }
                CodeMessage& m = scan.messages[*call.format];
                m.where.push_back(call.where);
                if (call.level) m.levels.insert(*call.level);
                else m.levelUnknown = true;
                continue;
            }
            const bool known = std::any_of(std::begin(kIndirectFormats), std::end(kIndirectFormats),
                                           [&](const IndirectFormat& f) {
                                               return rel == f.file && call.formatArgument == f.argument;
                                           });
            if (!known) {
                scan.problems.push_back(call.where + ": err() format is not a literal (" + call.formatArgument +
                                        "); list it in kIndirectFormats and document its messages");
                continue;
            }
            indirectUsed = true;
            if (call.level) indirectLevels.insert(*call.level);
            else indirectLevelUnknown = true;
        }
        const bool listed = std::any_of(std::begin(kIndirectFormats), std::end(kIndirectFormats),
                                        [&](const IndirectFormat& f) { return rel == f.file; });
        if (listed && !indirectUsed) {
            scan.problems.push_back(rel + ": listed in kIndirectFormats but logs no such format any more");
        }
        for (const auto& [where, text] : result.taggedLiterals) {
            if (directFormats.count(text) != 0) continue;
            if (!indirectUsed) {
                scan.problems.push_back(where + ": tagged text \"" + text +
                                        "\" never reaches err() as a literal; log it directly or list its err() "
                                        "call in kIndirectFormats");
                continue;
            }
            CodeMessage& m = scan.messages[text];
            m.where.push_back(where);
            m.levels.insert(indirectLevels.begin(), indirectLevels.end());
            m.levelUnknown = m.levelUnknown || indirectLevelUnknown;
        }
    }
    return scan;
}

struct CatalogueEntry {
    std::set<int> levels;
    int line = 0;
};

struct Catalogue {
    std::map<std::string, CatalogueEntry> entries;
    std::vector<std::string> problems;
};

Catalogue ParseCatalogue(const std::string& text) {
    Catalogue catalogue;
    std::istringstream in(text);
    std::string row;
    int number = 0;
    while (std::getline(in, row)) {
        ++number;
        if (!row.empty() && row.back() == '\r') row.pop_back();
        if (row.rfind("| `", 0) != 0) continue;
        const size_t close = row.find('`', 3);
        const size_t bar = close == std::string::npos ? close : row.find('|', close);
        if (bar == std::string::npos) {
            catalogue.problems.push_back("line " + std::to_string(number) + ": unfinished row");
            continue;
        }
        const std::string message = row.substr(3, close - 3);
        const size_t nextBar = row.find('|', bar + 1);
        const std::string levelCell = row.substr(bar + 1, nextBar == std::string::npos ? nextBar : nextBar - bar - 1);
        CatalogueEntry entry;
        entry.line = number;
        std::string digits;
        for (const char c : levelCell + " ") {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                digits += c;
            } else if (!digits.empty()) {
                entry.levels.insert(std::stoi(digits));
                digits.clear();
            }
        }
        for (const int level : entry.levels) {
            if (level != 8 && level != 32 && level != 64) {
                catalogue.problems.push_back("line " + std::to_string(number) + ": level " + std::to_string(level) +
                                             " is none of 8, 32, 64: " + message);
            }
        }
        if (entry.levels.empty()) {
            catalogue.problems.push_back("line " + std::to_string(number) + ": no level for " + message);
        }
        if (!catalogue.entries.emplace(message, entry).second) {
            catalogue.problems.push_back("line " + std::to_string(number) + ": listed twice: " + message);
        }
    }
    return catalogue;
}

std::string Levels(const std::set<int>& levels) {
    std::string out;
    for (const int level : levels) out += (out.empty() ? "" : " or ") + std::to_string(level);
    return out;
}

// ---------------------------------------------------------------------------

TEST(LogCatalogue, ScannerFindsCallsAsTheCompilerSeesThem) {
    const std::string source = R"src(
// err(kLogInfo, "TELDRV> in a line comment");
/* err(kLogInfo, "TELDRV> in a block comment"); */
void f(int x) {
    err(kLogError, "TELDRV> Joined() error, first half "
                   "and second half %u", x);
    err(8, "TELDRV> quote \" and backslash \\ inside");
    const char* s = "not a call: err(64, \"TELDRV> fake\")";
    logger.err(64, "TELDRV> a member, not the host's");
    ::err(kLogInfo, "TELDRV> qualified");
    err(level, "TELDRV> level from a variable");
    err(kLogInfo, text);
    snprintf(buf, sizeof buf, "TELDRV, formatted %u", 3);
    if (x) err(64, "TELDRV> after if"); else err(32, "TELDRV> after else");
    char c = '"';
    err(kLogInfo, "TELDRV> after a quote char");
}
)src";
    const ScanResult r = ScanSource(source, "x.cpp");
    ASSERT_EQ(r.calls.size(), 8u);
    EXPECT_EQ(r.calls[0].format, "TELDRV> Joined() error, first half and second half %u");
    EXPECT_EQ(r.calls[0].level, 32);
    EXPECT_EQ(r.calls[0].where, "x.cpp:5");
    EXPECT_EQ(r.calls[1].format, "TELDRV> quote \" and backslash \\ inside");
    EXPECT_EQ(r.calls[1].level, 8);
    EXPECT_EQ(r.calls[2].format, "TELDRV> qualified");
    EXPECT_EQ(r.calls[2].level, 64);
    EXPECT_EQ(r.calls[3].format, "TELDRV> level from a variable");
    EXPECT_FALSE(r.calls[3].level.has_value());
    EXPECT_FALSE(r.calls[4].format.has_value());
    EXPECT_EQ(r.calls[4].formatArgument, "text");
    EXPECT_EQ(r.calls[5].format, "TELDRV> after if");
    EXPECT_EQ(r.calls[6].format, "TELDRV> after else");
    EXPECT_EQ(r.calls[6].level, 32);
    EXPECT_EQ(r.calls[7].format, "TELDRV> after a quote char");
    EXPECT_EQ(r.calls[7].where, "x.cpp:16");

    std::vector<std::string> tagged;
    for (const auto& [where, text] : r.taggedLiterals) tagged.push_back(text);
    EXPECT_NE(std::find(tagged.begin(), tagged.end(), "TELDRV, formatted %u"), tagged.end());
    EXPECT_EQ(std::find(tagged.begin(), tagged.end(), "TELDRV> in a line comment"), tagged.end());
    EXPECT_EQ(std::find(tagged.begin(), tagged.end(), "TELDRV> in a block comment"), tagged.end());
}

TEST(LogCatalogue, CatalogueRowsGiveMessageAndLevels) {
    const Catalogue c = ParseCatalogue(
        "| message | level | meaning | action |\n"
        "|---|---|---|---|\n"
        "| `TELDRV> A() exit OK` | 64 | fine | none |\r\n"
        "| `TELDRV, alert %u` | 64 or 32 | by class | call |\n"
        "| `TELDRV> A() exit OK` | 64 | again | none |\n"
        "| `TELDRV> B()` | 16 | wrong level | none |\n"
        "  | `TELDRV> not a row` | 64 | | |\n");
    ASSERT_EQ(c.entries.size(), 3u);
    EXPECT_EQ(c.entries.at("TELDRV> A() exit OK").levels, (std::set<int>{64}));
    EXPECT_EQ(c.entries.at("TELDRV, alert %u").levels, (std::set<int>{32, 64}));
    ASSERT_EQ(c.problems.size(), 2u);
    EXPECT_NE(c.problems[0].find("listed twice"), std::string::npos);
    EXPECT_NE(c.problems[1].find("level 16"), std::string::npos);
}

TEST(LogCatalogue, EveryMessageOfTheCodeIsCataloguedWithItsLevel) {
    const CodeScan code = ScanDriver();
    for (const std::string& problem : code.problems) ADD_FAILURE() << problem;
    // A scan that finds next to nothing has lost its way, not the code its messages.
    EXPECT_GT(code.messages.size(), 80u);

    const fs::path cataloguePath = kSourceDir / kCatalogue;
    ASSERT_TRUE(fs::exists(cataloguePath)) << cataloguePath;
    const Catalogue catalogue = ParseCatalogue(ReadText(cataloguePath));
    for (const std::string& problem : catalogue.problems) ADD_FAILURE() << kCatalogue << ": " << problem;

    for (const auto& [message, found] : code.messages) {
        const auto it = catalogue.entries.find(message);
        if (it == catalogue.entries.end()) {
            ADD_FAILURE() << "missing from " << kCatalogue << " (logged at " << found.where.front() << ", level "
                          << (found.levels.empty() ? std::string("?") : Levels(found.levels)) << "):\n  " << message;
            continue;
        }
        const std::set<int>& listed = it->second.levels;
        const bool matches = found.levelUnknown ? std::includes(listed.begin(), listed.end(), found.levels.begin(),
                                                                found.levels.end())
                                                : listed == found.levels;
        EXPECT_TRUE(matches) << kCatalogue << ":" << it->second.line << " gives level " << Levels(listed)
                             << ", the code logs level " << Levels(found.levels) << " (" << found.where.front()
                             << "):\n  " << message;
    }
    for (const auto& [message, entry] : catalogue.entries) {
        EXPECT_TRUE(code.messages.count(message) != 0)
            << kCatalogue << ":" << entry.line << " lists a message the code no longer logs:\n  " << message;
    }
}

}  // namespace
