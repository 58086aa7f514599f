#pragma once
// Aiming traces as PNG pictures: the face, the trace of the last second before each shot fading with
// age, each shot as a hit of the face's calibre with its result beside it, and a caption with the
// shots' total. Needs the program's QGuiApplication (StartGuiApplication).
#include "MyLib/ShotTraceDrawing.h"

#include <QImage>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class TBaseTarget;
class TShotSeries;

// The picture of AShots on AFace, its longer side ASize pixels, captioned ACaption. Without shots it
// shows the whole trace of APoints, fading from its start to its end.
QImage DrawTracePicture(const TBaseTarget& AFace, const std::vector<TAimPoint>& APoints,
                        const std::vector<TShotMark>& AShots, const std::string& ACaption, int ASize = 800);

// Writes the pictures of ASeries on AFace: every shot into APng, and one picture per shot into the
// folder AEachFolder (made when missing) as shot-001.png, shot-002.png, ...; a series without shots
// gives one picture of its whole trace (trace.png in the folder). False, with AError set, when a
// picture cannot be written; each file is put in place whole. AOnWritten, when given, hears of
// each picture of the folder written, with their number.
bool WriteTracePictures(const TBaseTarget& AFace, const TShotSeries& ASeries,
                        const std::optional<std::string>& APng, const std::optional<std::string>& AEachFolder,
                        std::string& AError,
                        const std::function<void(size_t AWritten, size_t ACount)>& AOnWritten = {});
