#include "trace/TraceCommands.h"

#include "MyLib/KelvoLib.h"

#include <cctype>

TParsedArgs ParseArgs(const std::string& ACommand, const TArgs& AArgs,
                      const std::set<std::string>& AValueOptions, const std::set<std::string>& AFlags) {
    TParsedArgs parsed;
    for (std::size_t i = 0; i < AArgs.size(); ++i) {
        const std::string& arg = AArgs[i];
        // A word with a comma is a position X,Y, whatever it starts with.
        const bool isOption = arg.size() > 1 && arg[0] == '-' && arg.find(',') == std::string::npos &&
                              !std::isdigit(static_cast<unsigned char>(arg[1])) && arg[1] != '.';
        if (!isOption) {
            parsed.fWords.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (parsed.fValues.count(name) || parsed.fFlags.count(name))
            throw TUsageError(ACommand + ": option " + name + " is given twice");
        if (AValueOptions.count(name)) {
            if (equals != std::string::npos)
                parsed.fValues[name] = arg.substr(equals + 1);
            else if (i + 1 < AArgs.size())
                parsed.fValues[name] = AArgs[++i];
            else
                throw TUsageError(ACommand + ": option " + name + " needs a value");
        } else if (AFlags.count(name) && equals == std::string::npos) {
            parsed.fFlags.insert(name);
        } else {
            throw TUsageError(ACommand + ": unknown option " + arg);
        }
    }
    return parsed;
}

const TBaseTarget& FaceByTag(const std::string& ACommand, const std::string& ATag) {
    if (const TBaseTarget* face = FindTarget(ATag))
        return *face;
    throw TUsageError(ACommand + ": no face with the tag \"" + ATag + "\" (see '" + Program +
                      " face --list')");
}
