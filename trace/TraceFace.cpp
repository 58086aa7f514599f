// kelvo-trace face: target faces drawn to PNG pictures through the Qt canvas.
#include "MyLib/KelvoLib.h"
#include "app/simbench/SimKindValues.h"
#include "trace/QtCanvas.h"
#include "trace/TraceCommands.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

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
    return KExitSuccess;
}

int PictureSize(const std::string& AText) {
    const auto size = ParseNumber(AText, 10000);
    if (!size || *size < 16)
        throw TUsageError("face: --size " + EchoedText(AText) + ": expected pixels from 16 to 10000");
    return int(*size);
}

int FaceCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs(
        "face", AArgs, {.fValueOptions = {"--size", "--png"}, .fFlags = {"--list"}, .fWords = true});
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
        std::cerr << Program << ": " << error << "\n";
        return KExitFailure;
    }
    return KExitSuccess;
}

} // namespace

const TCommand KFaceCommand{"face", "draw a target face to a PNG picture, or list the faces", FaceHelp,
                            FaceCommand};
