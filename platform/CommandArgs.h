#pragma once
// The command-line convention every program follows: the exit statuses, the usage fault, and one
// parser of options ("--name VALUE", "--name=VALUE", flags) and the words between them.
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// What every program returns from main.
inline constexpr int KExitSuccess = 0;
inline constexpr int KExitFailure = 1; // the work failed
inline constexpr int KExitUsage = 2;   // the command line was wrong
// The updaters count an unusable user folder, settings file or report file with the usage faults:
// the user must put the setup right before anything can run.
inline constexpr int KExitSetup = KExitUsage;

// A fault in what the user asked for: one line on stderr, exit status KExitUsage.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TArgs = std::vector<std::string>;

// The options one command knows.
struct TOptionSpec {
    std::set<std::string> fValueOptions{}; // take a value
    std::set<std::string> fFlags{};        // take none
    // Options that may be given more than once; every other option given twice is refused.
    std::set<std::string> fRepeatable{};
    // Short spellings of long options, such as "-o" for "--output".
    std::map<std::string, std::string> fAliases{};
    // Whether words (file names, positions) may stand between the options.
    bool fWords = false;
};

// A command's arguments. A word like "-1.5,2" or "-3" is a position or a number, not an option.
struct TParsedArgs {
    // The last value of each option given, and the flags given.
    std::map<std::string, std::string> fValues;
    std::set<std::string> fFlags;
    TArgs fWords;
    // Every option in the order given, with its value (empty for a flag).
    std::vector<std::pair<std::string, std::string>> fInOrder;

    bool Has(const std::string& AName) const { return fValues.count(AName) || fFlags.count(AName); }
};

// Whether AArgs ask for help (--help or -h anywhere): a command shows its help then, whatever else
// the line holds.
bool AsksForHelp(const TArgs& AArgs);

// AArgs parsed against ASpec. A fault throws TUsageError whose text starts with AContext and ": "
// (no prefix when AContext is empty).
TParsedArgs ParseArgs(const std::string& AContext, const TArgs& AArgs, const TOptionSpec& ASpec);
