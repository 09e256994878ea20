#include "OptionParser.h"

#include <algorithm>

namespace {

// Where the options' descriptions start, and the width they are folded to.
constexpr size_t kDescriptionColumn = 27;
constexpr size_t kHelpWidth = 100;

// --help: the usage lines, the options group by group with their descriptions folded, the footer.
class CHelpFormatter : public CLI::Formatter {
public:
    CHelpFormatter(std::string strUsage, std::string strFooter)
        : m_strUsage(std::move(strUsage)), m_strFooter(std::move(strFooter)) {
        column_width(kDescriptionColumn);
    }

    std::string make_help(const CLI::App* pApp, std::string,
                          CLI::AppFormatMode eMode) const override {
        // One blank line between groups, where CLI11 puts two.
        return m_strUsage +
               CLI::detail::find_and_replace(
                   make_groups(pApp, eMode) + make_subcommands(pApp, eMode), "\n\n\n", "\n\n") +
               (m_strFooter.empty() ? "" : "\n" + m_strFooter);
    }

    // The names without a flag's own value ("--per-app{10}" shows as "--per-app").
    std::string make_option_name(const CLI::Option* pOption, bool bPositional) const override {
        std::string strName = CLI::Formatter::make_option_name(pOption, bPositional);
        for (size_t nOpen; (nOpen = strName.find('{')) != std::string::npos;) {
            strName.erase(nOpen, strName.find('}', nOpen) - nOpen + 1);
        }
        return strName;
    }

    std::string make_option_opts(const CLI::Option* pOption) const override {
        const std::string& strText = pOption->get_option_text();
        if (strText.empty() || strText.starts_with("[=") || strText.front() == '=') {
            return strText;
        }
        return " " + strText;
    }

    std::string make_option_desc(const CLI::Option* pOption) const override {
        return Fold(pOption->get_description(), kHelpWidth - kDescriptionColumn);
    }

    std::string make_subcommand(const CLI::App* pSub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, pSub->get_display_name(),
                                 Fold(pSub->get_description(), kHelpWidth - kDescriptionColumn),
                                 get_column_width());
        return out.str();
    }

private:
    // Breaks text at spaces into lines of at most nWidth characters (a longer word stays whole);
    // line ends already in the text are kept.
    static std::string Fold(const std::string& strText, size_t nWidth) {
        std::string strOut;
        size_t nLineStart = 0;
        size_t nBreak = std::string::npos; // the last space of the current line
        for (const char ch : strText) {
            if (ch == '\n') {
                nLineStart = strOut.size() + 1;
                nBreak = std::string::npos;
            } else if (strOut.size() - nLineStart >= nWidth && nBreak != std::string::npos) {
                strOut[nBreak] = '\n';
                nLineStart = nBreak + 1;
                nBreak = std::string::npos;
            }
            if (ch == ' ') {
                nBreak = strOut.size();
            }
            strOut += ch;
        }
        if (strOut.size() - nLineStart > nWidth && nBreak != std::string::npos) {
            strOut[nBreak] = '\n';
        }
        return strOut;
    }

    std::string m_strUsage;
    std::string m_strFooter;
};

// A flag takes no value; one with a value of its own when given alone (--per-app[=N]) names it.
bool IsFlag(const CLI::Option& option) {
    return option.get_items_expected_max() == 0;
}

std::string OneLine(std::string strText) {
    std::replace_if(
        strText.begin(), strText.end(),
        [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F; }, '?');
    return strText;
}

} // namespace

COptionParser::COptionParser(std::string strUsage, std::string strFooter) {
    m_app.formatter(std::make_shared<CHelpFormatter>(std::move(strUsage), std::move(strFooter)));
    // Each program adds its own --help, as a plain flag: it answers after the whole command line
    // was found good.
    m_app.set_help_flag();
    // Left over arguments are refused below, in Orvek's words.
    m_app.allow_extras();
    m_app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

bool COptionParser::Parse(const std::vector<std::string>& args, std::string& strError) {
    std::vector<std::string> vecArgs;
    for (size_t n = 0; n < args.size(); ++n) {
        const std::string& strArg = args[n];
        if (!strArg.starts_with("--")) {
            vecArgs.push_back(strArg);
            continue;
        }
        const size_t nEquals = strArg.find('=');
        const std::string strName = strArg.substr(0, nEquals);
        const CLI::Option* pOption = m_app.get_option_no_throw(strName);
        if (pOption == nullptr) {
            vecArgs.push_back(strArg);
        } else if (nEquals == std::string::npos) {
            vecArgs.push_back(strArg);
            if (!IsFlag(*pOption)) {
                // CLI11 would say "1 required TEXT missing".
                if (n + 1 == args.size()) {
                    strError = strName + " needs a value";
                    return false;
                }
                // The value, whatever it looks like: CLI11 takes it too.
                vecArgs.push_back(args[++n]);
            }
        } else if (IsFlag(*pOption) && pOption->get_fnames().empty()) {
            strError = strName + " takes no value";
            return false;
        } else if (nEquals + 1 == strArg.size()) {
            // An empty value after '=': CLI11 would take the next argument instead, or, for a
            // flag with a value of its own, that value.
            if (IsFlag(*pOption)) {
                strError = strName + ": nothing after '='";
                return false;
            }
            vecArgs.push_back(strName);
            vecArgs.emplace_back();
        } else {
            vecArgs.push_back(strArg);
        }
    }
    std::reverse(vecArgs.begin(), vecArgs.end());
    try {
        m_app.parse(vecArgs);
    } catch (const CLI::ParseError& error) {
        strError = OneLine(error.what());
        return false;
    }
    const std::vector<std::string> vecLeft = m_app.remaining();
    if (!vecLeft.empty()) {
        const std::string& strArg = vecLeft.front();
        strError = strArg.starts_with("-") && strArg.size() > 1
                       ? "unknown option " + QuoteValue(strArg.substr(0, strArg.find('=')))
                       : "unexpected argument " + QuoteValue(strArg);
        return false;
    }
    return true;
}

std::string COptionParser::Help() const {
    return m_app.help();
}

CLI::Validator OptionCheck(std::function<std::string(const std::string&)> fnWhy) {
    return CLI::Validator(
        [fnWhy = std::move(fnWhy)](std::string& strValue) { return fnWhy(strValue); }, "");
}

std::string QuoteValue(std::string_view svValue) {
    return "'" + OneLine(std::string(svValue)) + "'";
}

void AddByteUnitsOption(CLI::App& app, const std::string& strDescription,
                        std::function<void(EByteUnits)> fnSet) {
    app.add_option("--units", strDescription)
        ->option_text("binary|decimal")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue == "binary" || strValue == "decimal"
                       ? ""
                       : QuoteValue(strValue) + " is not binary or decimal";
        }))
        ->each([fnSet = std::move(fnSet)](const std::string& strValue) {
            fnSet(strValue == "decimal" ? EByteUnits::Decimal : EByteUnits::Binary);
        });
}

void AddCaptureOptions(CLI::App& app, std::string& strFilter, bool& bPromiscuous,
                       std::vector<std::string>& vecExclude) {
    app.add_option("--filter", strFilter,
                   "capture filter, libpcap syntax (default: \"tcp or udp\")")
        ->option_text("EXPR");
    app.add_flag("--promiscuous", bPromiscuous, "capture in promiscuous mode (default: off)");
    app.add_option("--exclude", "leave DEVICE alone; repeatable (default: none)")
        ->option_text("DEVICE")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue.empty() ? std::string("an empty device name") : "";
        }))
        ->each([&vecExclude](const std::string& strDevice) { vecExclude.push_back(strDevice); });
}

void AddSocketOption(CLI::App& app, std::string& strSocket) {
    app.add_option("--socket", strSocket,
                   "the socket of Orvek's service, which must answer when named (default: "
                   "$ORVEK_SOCKET, else /run/orvek/orvekd.sock when it answers, else none)")
        ->option_text("PATH")
        ->check(OptionCheck([](const std::string& strValue) {
            return strValue.empty() ? std::string("an empty path") : "";
        }));
}
