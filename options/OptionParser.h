#pragma once

#include "Units.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// One command-line parser for every Orvek program, on CLI11, so that each reads its options and
// refuses a bad command line the same way: long options take their value as --name VALUE or
// --name=VALUE (a value may look like an option), a repeated option's last value counts (a
// repeatable one keeps them all, one per use), nothing is abbreviated, and a refusal is one line
// that names the option or the argument. --help's text is made from the options themselves, so
// that it lists every one.
class COptionParser {
public:
    // strUsage: the first lines of --help, each ending with a newline; strFooter: its last lines.
    COptionParser(std::string strUsage, std::string strFooter);

    COptionParser(const COptionParser&) = delete;
    COptionParser& operator=(const COptionParser&) = delete;

    // The options are added to App(); a value's name set with ->option_text() shows after the
    // option's ("--days[=N]" when it starts with "[=" or "=", else after a space).
    CLI::App& App() { return m_app; }

    // Parses args (without the program's name). False with a one-line reason, without a line end;
    // the options' variables may then hold part of the command line.
    bool Parse(const std::vector<std::string>& args, std::string& strError);

    // The --help text; ends with a newline.
    std::string Help() const;

private:
    CLI::App m_app;
};

// A CLI11 check from a function that returns "" for a good value, else why it is refused; the
// refusal reads "--name: " and the reason.
CLI::Validator OptionCheck(std::function<std::string(const std::string&)> fnWhy);

// A value quoted back in a refusal: 'value', control characters shown as '?' so that the refusal
// stays on one line.
std::string QuoteValue(std::string_view svValue);

// --units binary|decimal, with what it means where it is given; fnSet (the parsing thread, at
// each use) takes the family.
void AddByteUnitsOption(CLI::App& app, const std::string& strDescription,
                        std::function<void(EByteUnits)> fnSet);

// The capture options of the programs that start a capture of their own: --filter EXPR,
// --promiscuous and --exclude DEVICE (repeatable, never empty).
void AddCaptureOptions(CLI::App& app, std::string& strFilter, bool& bPromiscuous,
                       std::vector<std::string>& vecExclude);

// --socket PATH: the system service's socket for the programs that count through it (a client
// falls back to a capture helper of its own only when the default socket does not answer).
void AddSocketOption(CLI::App& app, std::string& strSocket);
