// What the program prints: exit codes, the JSON objects of --json, and error reports.
//
// With --json every result is one JSON object on one line of standard output (JSON Lines), and
// every failure is one object {"error":{...}} on standard output as well as the usual line on
// standard error. Without it results are text for people.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zcli {

enum class ExitCode : int {
    Ok = 0,
    Failure = 1, // the drive, the link or a file failed; the reason went to stderr
    Usage = 2,   // the command line was wrong
};

void SetJsonOutput(bool on);
bool JsonOutput();

// One JSON object, built member by member in the order they are added.
class Json {
public:
    template <std::integral Number>
        requires(!std::same_as<Number, bool>)
    Json &Add(std::string_view key, Number value) {
        return AddRaw(key, std::to_string(value));
    }
    Json &Add(std::string_view key, std::string_view text);
    Json &Add(std::string_view key, const char *text) { return Add(key, std::string_view(text)); }
    Json &Add(std::string_view key, const std::string &text) {
        return Add(key, std::string_view(text));
    }
    Json &AddBool(std::string_view key, bool value);
    Json &Add(std::string_view key, std::span<const uint16_t> words);
    Json &Add(std::string_view key, const std::vector<std::string> &texts);
    Json &Add(std::string_view key, const Json &object);
    Json &Add(std::string_view key, const std::vector<Json> &objects);
    // `json` must already be valid JSON.
    Json &AddRaw(std::string_view key, std::string_view json);

    std::string Text() const { return "{" + members_ + "}"; }

private:
    std::string members_;
};

// `text` as a JSON string: quoted and escaped; bytes that are not UTF-8 become \u00XX (their
// Latin-1 reading), so that the line always parses.
std::string JsonString(std::string_view text);

// Prints the object as one line on standard output and flushes it, so that a reader of a pipe
// sees each result at once.
void PrintJson(const Json &object);

// The library's texts end in CR LF and some hold several lines; one line without the breaks.
std::string OneLine(std::string_view text);

// The text of the library's last error on one line ("" when it has none).
std::string LastErrorText();

// Prints "zorcomm: <what>: <text>" (or "zorcomm: <what>" when `text` is empty) on stderr, and
// with --json {"error":{"kind":"failure","message":what,"text":text,"details":[...]}} on stdout.
// Returns ExitCode::Failure.
ExitCode ReportFailure(std::string_view what, std::string_view text,
                       const std::vector<std::string> &details = {});

// Prints "zorcomm: <text>" and a hint on stderr, and with --json
// {"error":{"kind":"usage","message":text}} on stdout. Returns ExitCode::Usage.
ExitCode ReportUsage(std::string_view text);

} // namespace zcli
