#pragma once
// What the kelvo-trace commands share: the program name, the table entry of one command, and the
// face a command names.
#include "platform/CommandArgs.h"

#include <string>

class TBaseTarget;

inline const char* const Program = "kelvo-trace";

// One subcommand: its name, one line for the main help, its own help, and what runs it.
struct TCommand {
    const char* fName;
    const char* fSummary;
    const char* fHelp;
    int (*fRun)(const TArgs& AArgs);
};

// The face with the tag ATag; a usage fault of ACommand when there is none.
const TBaseTarget& FaceByTag(const std::string& ACommand, const std::string& ATag);

// The commands, each in its own file.
extern const TCommand KFaceCommand; // only when built with Qt
extern const TCommand KRecordCommand;
extern const TCommand KDecodeCommand;
extern const TCommand KTargetsCommand;
extern const TCommand KTargetCommand;
