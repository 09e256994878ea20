#pragma once

// What `orvek top` shows, as lines of text: pure, from a sample, the screen's size and the user's
// choices, so that it is tested without a terminal. The curses side only writes the lines.

#include "OwnPrograms.h"
#include "TrafficSampler.h"

#include <map>

#include <functional>
#include <string>
#include <vector>

enum class ETopView { Devices, Applications, Connections };
// The rows' order, largest first: sent + received, sent, received, or the two rates together.
enum class ETopSort { Total, Sent, Received, Rate };
// Sizes in binary or decimal bytes; bits a second shows rates in bits and sizes in decimal bytes.
enum class ETopUnits { Binary, Decimal, Bits };

const char* TopViewName(ETopView eView);    // "devices", "applications", "connections"
const char* TopSortName(ETopSort eSort);    // "total", "sent", "received", "rate"
const char* TopUnitsName(ETopUnits eUnits); // "binary", "decimal", "bits"

// The user's choices, as the keys and the options set them.
struct TopChoices {
    ETopView eView = ETopView::Devices;
    ETopSort eSort = ETopSort::Total;
    ETopUnits eUnits = ETopUnits::Binary;
    std::string strFilter;  // rows whose name holds it, whatever the case; "" shows all
    size_t nScroll = 0;     // the first row shown; kept within the rows by LayoutTop
    bool bPaused = false;   // the display keeps its last sample
    bool bNames = true;     // connections show their remote ends' names where known
    bool bCommands = false; // the user's own programs show their command lines
    bool bHelp = false;     // the keys' help instead of the rows
    bool bEditing = false;  // the filter is being typed (in strEditing)
    std::string strEditing; // the filter as typed so far
};

// How a line is drawn: the curses side gives each its attribute, or none without colour.
enum class ELineStyle { Header, ColumnNames, Row, Message, Keys };
struct TopLine {
    std::string strText; // at most the screen's width in characters
    ELineStyle eStyle = ELineStyle::Row;
    bool operator==(const TopLine&) const = default;
};

struct TopScreen {
    std::vector<TopLine> lines; // one per screen line, at most nHeight
    size_t nRows = 0;           // rows after the filter, of which the lines show some
    size_t nRowsShown = 0;      // how many rows fit on the screen
    bool operator==(const TopScreen&) const = default;
};

// A remote address's name (the address's bytes, as ConnectionUsage holds them), "" while none is
// known. Called on the layout's thread; it must not wait.
using TopNameFn = std::function<std::string(const std::string& strAddress)>;

// What the screen shows beside the sample, all optional.
struct TopExtras {
    TopNameFn fnName;    // names connections' remote ends when choices.bNames (none: addresses)
    std::string strPlan; // the plan's usage for the header, "" for none
    // The user's programs by name: applications of that name named by their executable show
    // their process ids and, when choices.bCommands, the command line.
    std::map<std::string, TopProgram> programs;
};

// The screen for sample at nWidth x nHeight: a header with the totals, the rates and the plan's
// usage, the view's
// column names and rows (sorted, filtered, scrolled), strMessage (a failure, "" for none) and a
// line naming the keys at the bottom. Columns that do not fit drop in this order: the devices'
// drops, their kind, a tunnel's overhead, the applications' connections, the connections' totals
// received, then sent, then their protocol; the applications' process ids go before their
// connections. Names, states, ends and command lines are cut to what is left. choices.nScroll is
// brought within the rows.
TopScreen LayoutTop(const TrafficSample& sample, TopChoices& choices, int nWidth, int nHeight,
                    const std::string& strMessage, const TopExtras& extras = {});

// The text, cut to nColumns characters (a UTF-8 sequence is never cut); "~" marks a cut.
std::string FitText(const std::string& strText, size_t nColumns);
