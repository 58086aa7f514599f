#pragma once
// What the kelvo-trace commands share: the program name, usage faults, the table entry of one
// command and the parsing of its options.
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

class TBaseTarget;

inline const char* const Program = "kelvo-trace";

// A fault in what the user asked for: one line on stderr, exit status 2.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TArgs = std::vector<std::string>;

// One subcommand: its name, one line for the main help, its own help, and what runs it.
struct TCommand {
    const char* fName;
    const char* fSummary;
    const char* fHelp;
    int (*fRun)(const TArgs& AArgs);
};

// A subcommand's arguments: options with a value ("--name VALUE" or "--name=VALUE"), flags, and the
// remaining words in order. A word like "-1.5,2" is a position, not an option.
struct TParsedArgs {
    std::map<std::string, std::string> fValues;
    std::set<std::string> fFlags;
    TArgs fWords;
};

TParsedArgs ParseArgs(const std::string& ACommand, const TArgs& AArgs,
                      const std::set<std::string>& AValueOptions, const std::set<std::string>& AFlags);
// The face with the tag ATag; a usage fault of ACommand when there is none.
const TBaseTarget& FaceByTag(const std::string& ACommand, const std::string& ATag);

// The commands, each in its own file.
extern const TCommand KFaceCommand; // only when built with Qt
extern const TCommand KRecordCommand;
extern const TCommand KDecodeCommand;
extern const TCommand KTargetsCommand;
extern const TCommand KTargetCommand;
