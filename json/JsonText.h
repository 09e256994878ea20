#pragma once

// How Orvek writes JSON: through nlohmann-json, keys in the order they were set, texts in valid
// UTF-8. Device names, application names, paths and libpcap's messages are bytes, not text: they
// pass through ToUtf8Text on their way in, so that a dump never meets bytes it cannot write and two
// names never read as one.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

// Bytes as valid UTF-8 text, one to one: every byte that does not start a well-formed sequence
// becomes the four characters \xHH (lower-case hex), a backslash becomes two, and everything else,
// UTF-8 included, stays as it is.
std::string ToUtf8Text(std::string_view svBytes);

// A JSON string holding ToUtf8Text(svBytes).
nlohmann::ordered_json JsonText(std::string_view svBytes);

// Appends the JSON string (quotes included) that DumpJson(JsonText(svBytes)) writes, building
// neither: for lines written straight into a reused buffer.
void AppendJsonText(std::string& strOut, std::string_view svBytes);

// The value on one line, without a line end: UTF-8 as it is, control characters, quotes and
// backslashes escaped. Never throws: a text that skipped JsonText and is not UTF-8 gets U+FFFD
// in place of the bytes that are not.
std::string DumpJson(const nlohmann::ordered_json& value);
