#include "platform/CommandArgs.h"

#include <cctype>

namespace {

bool IsOption(const std::string& AArg) {
    // A word with a comma is a position X,Y, and a dash before a digit or a point is a sign.
    return AArg.size() > 1 && AArg[0] == '-' && AArg.find(',') == std::string::npos &&
           !std::isdigit(static_cast<unsigned char>(AArg[1])) && AArg[1] != '.';
}

} // namespace

bool AsksForHelp(const TArgs& AArgs) {
    for (const std::string& arg : AArgs)
        if (arg == "--help" || arg == "-h")
            return true;
    return false;
}

TParsedArgs ParseArgs(const std::string& AContext, const TArgs& AArgs, const TOptionSpec& ASpec) {
    const std::string prefix = AContext.empty() ? "" : AContext + ": ";
    TParsedArgs parsed;
    for (std::size_t i = 0; i < AArgs.size(); ++i) {
        const std::string& arg = AArgs[i];
        if (!IsOption(arg)) {
            if (!ASpec.fWords)
                throw TUsageError(prefix + "unknown option " + arg);
            parsed.fWords.push_back(arg);
            continue;
        }
        // Only a long option carries its value after '='.
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        std::string name = arg.substr(0, equals);
        if (auto alias = ASpec.fAliases.find(name); alias != ASpec.fAliases.end())
            name = alias->second;
        const bool takesValue = ASpec.fValueOptions.count(name) > 0;
        if (!takesValue && !ASpec.fFlags.count(name))
            throw TUsageError(prefix + "unknown option " + arg);
        if (parsed.Has(name) && !ASpec.fRepeatable.count(name))
            throw TUsageError(prefix + name + " is given twice");
        if (!takesValue) {
            if (equals != std::string::npos)
                throw TUsageError(prefix + name + " takes no value");
            parsed.fFlags.insert(name);
            parsed.fInOrder.emplace_back(name, "");
            continue;
        }
        std::string value;
        if (equals != std::string::npos)
            value = arg.substr(equals + 1);
        else if (i + 1 < AArgs.size())
            value = AArgs[++i];
        else
            throw TUsageError(prefix + name + " needs a value");
        parsed.fValues[name] = value;
        parsed.fInOrder.emplace_back(name, std::move(value));
    }
    return parsed;
}
