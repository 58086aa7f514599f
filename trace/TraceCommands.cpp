#include "trace/TraceCommands.h"

#include "MyLib/KelvoLib.h"

const TBaseTarget& FaceByTag(const std::string& ACommand, const std::string& ATag) {
    if (const TBaseTarget* face = FindTarget(ATag))
        return *face;
    throw TUsageError(ACommand + ": no face with the tag \"" + ATag + "\" (see '" + Program +
                      " face --list')");
}
