// kelvo-trace: target faces from the command line: pictures of the faces, and the scores of hits.
#include "MyLib/KelvoLib.h"
#include "trace/QtCanvas.h"

#include <QGuiApplication>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const Program = "kelvo-trace";

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
                      const std::set<std::string>& AValueOptions, const std::set<std::string>& AFlags) {
    TParsedArgs parsed;
    for (std::size_t i = 0; i < AArgs.size(); ++i) {
        const std::string& arg = AArgs[i];
        const bool isOption = arg.size() > 1 && arg[0] == '-' &&
                              !std::isdigit(static_cast<unsigned char>(arg[1])) && arg[1] != '.';
        if (!isOption) {
            parsed.fWords.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
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

// QPainter text needs a QGuiApplication; without a display it runs on the offscreen platform. Its
// start-up notice about a missing XDG_RUNTIME_DIR, which nothing here uses, is kept off stderr.
void StartGuiApplication() {
    static int argc = 1;
    static char name[] = "kelvo-trace";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QtMessageHandler previous = nullptr;
    previous =
        qInstallMessageHandler([](QtMsgType AType, const QMessageLogContext& AContext, const QString& AText) {
            if (!AText.startsWith("QStandardPaths: XDG_RUNTIME_DIR"))
                previous(AType, AContext, AText);
        });
    static QGuiApplication application(argc, argv);
    qInstallMessageHandler(previous);
}

const char* const FaceHelp = R"(usage: kelvo-trace face TAG [--size PIXELS] --png FILE
       kelvo-trace face --list

Draws the target face TAG to a PNG picture whose longer side is PIXELS (default 800) and
whose shorter side keeps the card's proportions; or lists the faces with their card sizes.

  --size PIXELS   longer side of the picture, 16 to 10000
  --png FILE      picture to write
  --list          list the tags, card sizes in millimetres and names
)";

int ListFaces() {
    for (const auto& face : Targets()) {
        std::ostringstream card;
        card << face->BlankWidth() << " x " << face->BlankHeight();
        std::cout << std::left << std::setw(13) << face->Tag() << std::setw(13) << card.str() << face->Name()
                  << "\n";
    }
    return 0;
}

int PictureSize(const std::string& AText) {
    int size = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), size);
    if (error != std::errc() || end != AText.data() + AText.size() || size < 16 || size > 10000)
        throw TUsageError("face: --size " + AText + ": expected pixels from 16 to 10000");
    return size;
}

int FaceCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs("face", AArgs, {"--size", "--png"}, {"--list"});
    if (args.fFlags.count("--list")) {
        if (!args.fWords.empty() || !args.fValues.empty())
            throw TUsageError("face: --list takes no tag or other option");
        return ListFaces();
    }
    if (args.fWords.size() != 1)
        throw TUsageError("face: expected one face tag");
    const TBaseTarget& face = FaceByTag("face", args.fWords[0]);
    const auto png = args.fValues.find("--png");
    if (png == args.fValues.end() || png->second.empty())
        throw TUsageError("face: --png FILE is required");
    const auto sizeOption = args.fValues.find("--size");
    const int size = sizeOption == args.fValues.end() ? 800 : PictureSize(sizeOption->second);

    const double longer = std::max(face.BlankWidth(), face.BlankHeight());
    const int width = std::max(1, int(std::lround(size * face.BlankWidth() / longer)));
    const int height = std::max(1, int(std::lround(size * face.BlankHeight() / longer)));
    StartGuiApplication();
    QImage image = NewCanvasImage(width, height);
    {
        TQtCanvas canvas(image);
        face.DrawTarget(canvas, {0, 0, double(width), double(height)}, 0, 0, clBlack, clWhite);
    }
    std::string error;
    if (!SavePng(image, png->second, error)) {
        std::cerr << Program << ": cannot write " << png->second << ": " << error << "\n";
        return 1;
    }
    return 0;
}

const char* const ScoreHelp = R"(usage: kelvo-trace score --face TAG X,Y...

Scores hits on the face TAG. Each X,Y is the centre of a hit in millimetres from the aiming
centre, x to the right and y upwards. For each hit one line: the score as the face counts it
(in tenths of a point on faces that count tenths, else in points) and the result text.

  --face TAG   the target face (see 'kelvo-trace face --list')
)";

double Coordinate(const std::string& AText, const std::string& APoint) {
    double value = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
    if (AText.empty() || error != std::errc() || end != AText.data() + AText.size())
        throw TUsageError("score: \"" + APoint + "\" is not a position X,Y in millimetres");
    return value;
}

int ScoreCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs("score", AArgs, {"--face"}, {});
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
    return 0;
}

const TCommand Commands[] = {
    {"face", "draw a target face to a PNG picture, or list the faces", FaceHelp, FaceCommand},
    {"score", "score hits on a target face", ScoreHelp, ScoreCommand},
};

void PrintHelp() {
    std::cout << "usage: " << Program
              << " COMMAND [OPTIONS]\n\nTarget faces as pictures, and the scores of hits.\n"
              << "\ncommands:\n";
    for (const TCommand& command : Commands)
        std::cout << "  " << std::left << std::setw(8) << command.fName << command.fSummary << "\n";
    std::cout << "\n\"" << Program << " COMMAND --help\" describes a command; \"" << Program
              << " --version\" shows the version.\n";
}

} // namespace

int main(int argc, char** argv) {
    const TArgs args(argv + std::min(argc, 1), argv + argc);
    try {
        if (args.empty())
            throw TUsageError("no command given (try --help)");
        if (args[0] == "--help" || args[0] == "-h") {
            PrintHelp();
            return 0;
        }
        if (args[0] == "--version") {
            std::cout << Program << " 2.0\n";
            return 0;
        }
        for (const TCommand& command : Commands) {
            if (args[0] != command.fName)
                continue;
            const TArgs rest(args.begin() + 1, args.end());
            for (const std::string& arg : rest)
                if (arg == "--help" || arg == "-h") {
                    std::cout << command.fHelp;
                    return 0;
                }
            return command.fRun(rest);
        }
        throw TUsageError("unknown command " + args[0] + " (try --help)");
    } catch (const TUsageError& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return 1;
    }
}
