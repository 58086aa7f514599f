// kelvo-trace: the measuring side from the command line: aiming points recorded from a sensor or
// decoded from captured bytes, target faces as pictures, and the scores of hits. Exit status: 0 done,
// 1 the work failed (a device, a file, stdout), 2 usage.
#include "MyLib/KelvoLib.h"
#include "platform/Console.h"
#include "platform/NumberText.h"
#include "platform/Version.h"
#include "trace/TraceCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const ScoreHelp = R"(usage: kelvo-trace score --face TAG X,Y...

Scores hits on the face TAG. Each X,Y is the centre of a hit in millimetres from the aiming
centre, x to the right and y upwards. For each hit one line: the score as the face counts it
(in tenths of a point on faces that count tenths, else in points) and the result text.

  --face TAG   the target face (see 'kelvo-trace face --list')
)";

// Farther from the centre than any face reaches, by far; also keeps the scoring's squares finite.
constexpr double KMaxCoordinateMm = 1e6;

double Coordinate(const std::string& AText, const std::string& APoint) {
    const auto value = ParseReal(AText, -KMaxCoordinateMm, KMaxCoordinateMm);
    if (!value)
        throw TUsageError("score: \"" + APoint.substr(0, 40) + "\" is not a position X,Y in millimetres");
    return *value;
}

int ScoreCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs("score", AArgs, {.fValueOptions = {"--face"}, .fWords = true});
    const auto tag = args.fValues.find("--face");
    if (tag == args.fValues.end())
        throw TUsageError("score: --face TAG is required");
    const TBaseTarget& face = FaceByTag("score", tag->second);
    if (args.fWords.empty())
        throw TUsageError("score: expected at least one position X,Y");
    std::vector<std::pair<double, double>> hits;
    for (const std::string& point : args.fWords) {
        const std::size_t comma = point.find(',');
        if (comma == std::string::npos)
            throw TUsageError("score: \"" + point + "\" is not a position X,Y in millimetres");
        hits.emplace_back(Coordinate(point.substr(0, comma), point),
                          Coordinate(point.substr(comma + 1), point));
    }
    for (const auto& [x, y] : hits) {
        const int tenths = face.Get_Result(x, y);
        const std::string text = face.GetResultStr(x, y);
        std::cout << (face.Fracs() ? tenths : tenths / 10) << (text.empty() ? "" : " " + text) << "\n";
    }
    return KExitSuccess;
}

const TCommand KScoreCommand{"score", "score hits on a target face", ScoreHelp, ScoreCommand};

// Face pictures need Qt; the rest of the program does not.
const TCommand* const Commands[] = {
#ifdef KELVO_TRACE_FACES
    &KFaceCommand,
#endif
    &KScoreCommand, &KRecordCommand, &KDecodeCommand, &KTargetsCommand, &KTargetCommand};

void PrintHelp() {
    std::cout << "usage: " << Program
              << " COMMAND [OPTIONS]\n\nAiming points from sensors or captured bytes, target faces as "
                 "pictures, and the scores of hits.\n"
              << "\ncommands:\n";
    for (const TCommand* command : Commands)
        std::cout << "  " << std::left << std::setw(8) << command->fName << command->fSummary << "\n";
    std::cout << "\n\"" << Program << " COMMAND --help\" describes a command; \"" << Program
              << " --version\" shows the version.\n";
}

// 0 when everything written to stdout reached it; else 1, with the cause on stderr (a full disk, a
// closed pipe), so a command's output is never lost without a word.
int StdoutStatus() {
    errno = 0;
    std::cout.flush();
    if (std::fflush(stdout) == 0 && !std::ferror(stdout) && std::cout.good())
        return KExitSuccess;
    std::cerr << Program
              << ": cannot write to stdout: " << (errno != 0 ? std::strerror(errno) : "write error") << "\n";
    return KExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    const TArgs args(argv + std::min(argc, 1), argv + argc);
    try {
        if (args.empty())
            throw TUsageError("no command given (try --help)");
        if (args[0] == "--help" || args[0] == "-h") {
            PrintHelp();
            return KExitSuccess;
        }
        if (args[0] == "--version") {
            std::cout << Program << " " KELVO_VERSION "\n";
            return KExitSuccess;
        }
        for (const TCommand* command : Commands) {
            if (args[0] != command->fName)
                continue;
            const TArgs rest(args.begin() + 1, args.end());
            if (AsksForHelp(rest)) {
                std::cout << command->fHelp;
                return KExitSuccess;
            }
            const int status = command->fRun(rest);
            return status == KExitSuccess ? StdoutStatus() : status;
        }
        throw TUsageError("unknown command " + args[0] + " (try --help)");
    } catch (const TUsageError& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return KExitUsage;
    } catch (const std::exception& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return KExitFailure;
    }
}
