// kelvo-fwbuild: builds firmware images and collections from memory images, and inspects them.
// Exit status: 0 done, 1 an input or output file failed, 2 usage.
#include "FileContents.h"
#include "MemoryImage.h"
#include "MyLib/KelvoFirmware.h"
#include "platform/AtomicFile.h"
#include "platform/CommandArgs.h"
#include "platform/Console.h"
#include "platform/HexText.h"
#include "platform/NumberText.h"
#include "platform/Resources.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

namespace {

const char* const Program = "kelvo-fwbuild";

// A fault in the input or output files: printed as one line, exit status 1.
class TInputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

const char* const MainHelp = R"(usage: kelvo-fwbuild COMMAND [OPTIONS]

Builds firmware images and collections from memory images, and inspects them.

commands:
  build            build one firmware image from a memory image, a key and a table
  info             list the images in image or collection files
  collection       assemble images into a collection (set) file
  extract-builtin  write the built-in collection that the programs carry

"kelvo-fwbuild COMMAND --help" describes a command.
)";

const char* const BuildHelp =
    R"(usage: kelvo-fwbuild build --memory FILE --key FILE --table FILE [OPTIONS] -o OUT

Enciphers the main memory (0x1100..0xEFFF) of a memory image into a firmware image.

  --memory FILE       memory image: TI-TXT, Intel HEX, or a raw 65536-byte binary
  --key FILE          cipher key: 32 raw bytes
  --table FILE        substitution table: 64 raw bytes
  --pid N             product id (overrides the memory's own)
  --hw N              hardware version
  --fw N              firmware version
  --cpu NAME          processor name, such as MSP430F147 (up to 16 characters)
  --description TEXT  description (up to 255 characters)
  --synchro HEX       synchronisation block: 16 hexadecimal digits, the 8 bytes in file
                      order (default: random)
  --allow-invalid     write the image even when its identity is incomplete
  -o, --output OUT    image file to write

The identity comes from the memory (firmware-id marker, words at 0xEFF2 and 0xEFF4),
then the options apply in the order --hw, --fw, --pid, --cpu. Numbers are decimal or
0x-prefixed hexadecimal.
)";

const char* const InfoHelp = R"(usage: kelvo-fwbuild info [--json] FILE...

Lists every image of the given image or collection files, one line per image: index,
product id, hardware version, firmware version, processor, name, validity and creation date.
Control characters in texts are shown as \xNN. A file that cannot be read is reported on
stderr, the others are still listed, and the exit status is then 1.

  --json   print the same as JSON
)";

const char* const CollectionHelp = R"(usage: kelvo-fwbuild collection [--allow-invalid] -o OUT FILE...

Assembles image files into one collection file, in the order given.

  --allow-invalid     take images that are not valid as well
  -o, --output OUT    collection file to write
)";

const char* const ExtractHelp = R"(usage: kelvo-fwbuild extract-builtin -o OUT

Writes the built-in firmware collection that the programs carry.

  -o, --output OUT    collection file to write
)";

// The arguments of ACommand after the command word; -o is --output and -h is --help. A line that
// asks for help gets it whatever else it holds.
TParsedArgs CommandArgs(const std::string& ACommand, int argc, char** argv,
                        std::set<std::string> AValueOptions, std::set<std::string> AFlags) {
    const TArgs args(argv + 2, argv + argc);
    if (AsksForHelp(args)) {
        TParsedArgs help;
        help.fFlags.insert("--help");
        return help;
    }
    AFlags.insert("--help");
    return ParseArgs(ACommand, args,
                     {.fValueOptions = std::move(AValueOptions),
                      .fFlags = std::move(AFlags),
                      .fAliases = {{"-o", "--output"}, {"-h", "--help"}},
                      .fWords = true});
}

std::string Required(const TParsedArgs& AArgs, const std::string& ACommand, const std::string& AName) {
    auto it = AArgs.fValues.find(AName);
    if (it == AArgs.fValues.end() || it->second.empty())
        throw TUsageError(ACommand + ": " + AName + " is required");
    return it->second;
}

std::optional<uint16_t> Number(const TParsedArgs& AArgs, const std::string& AName) {
    auto it = AArgs.fValues.find(AName);
    if (it == AArgs.fValues.end())
        return std::nullopt;
    const auto value = ParseNumber(it->second, 0xFFFF);
    if (!value)
        throw TUsageError(AName + ": \"" + it->second + "\" is not a number from 0 to 65535");
    return uint16_t(*value);
}

std::string ReadExactly(const std::string& AFileName, std::size_t ASize, const char* AWhat) {
    const std::string bytes = ReadFileContents(AFileName, ASize);
    // One byte more than asked for shows a file that is too long.
    if (bytes.size() != ASize)
        throw TInputError(std::string(AWhat) + " file " + AFileName + " must hold exactly " +
                          std::to_string(ASize) + " bytes");
    return bytes;
}

TGOSTDataBlock ParseSynchro(const std::string& AText) {
    const auto bytes = HexToBytes(AText);
    TGOSTDataBlock block;
    if (!bytes || bytes->size() != sizeof block)
        throw TUsageError("--synchro takes exactly 16 hexadecimal digits");
    std::memcpy(&block, bytes->data(), sizeof block);
    return block;
}

// Longer texts do not fit their fields in the image; they are refused rather than cut.
std::string Bounded(const TParsedArgs& AArgs, const std::string& AName, std::size_t AMax) {
    const std::string& text = AArgs.fValues.at(AName);
    if (text.size() > AMax)
        throw TUsageError(AName + ": " + std::to_string(text.size()) + " characters, at most " +
                          std::to_string(AMax) + " fit");
    return text;
}

int Build(int argc, char** argv) {
    const TParsedArgs args = CommandArgs("build", argc, argv,
                                         {"--memory", "--key", "--table", "--pid", "--hw", "--fw", "--cpu",
                                          "--description", "--synchro", "--output"},
                                         {"--allow-invalid"});
    if (args.fFlags.count("--help")) {
        std::cout << BuildHelp;
        return KExitSuccess;
    }
    if (!args.fWords.empty())
        throw TUsageError("build: unexpected argument " + args.fWords[0]);
    const std::string output = Required(args, "build", "--output");
    const std::string memoryFile = Required(args, "build", "--memory");
    const std::string keyFile = Required(args, "build", "--key");
    const std::string tableFile = Required(args, "build", "--table");
    const auto pid = Number(args, "--pid"), hw = Number(args, "--hw"), fw = Number(args, "--fw");
    std::optional<TGOSTDataBlock> synchro;
    if (args.fValues.count("--synchro"))
        synchro = ParseSynchro(args.fValues.at("--synchro"));

    std::unique_ptr<TMSP430Memory> memory;
    try {
        memory = ReadMemoryImage(memoryFile);
    } catch (const TMemoryImageError& e) {
        throw TInputError(e.what());
    }
    const TGOSTKey key = GostKeyFromBytes(ReadExactly(keyFile, sizeof(TGOSTKey), "key").data());
    const TGOSTTable table = GostTableFromBytes(ReadExactly(tableFile, sizeof(TGOSTTable), "table").data());

    TKelvoUsbFirmware image;
    if (synchro)
        image.SetMemory(*memory, key, table, *synchro);
    else
        image.SetMemory(*memory, key, table);
    if (hw)
        image.SetVersionHW(*hw);
    if (fw)
        image.SetVersionFW(*fw);
    if (pid)
        image.SetProductID(*pid);
    if (args.fValues.count("--cpu"))
        image.SetCPUStr(Bounded(args, "--cpu", sizeof(TShortString<16>::Chars)));
    if (args.fValues.count("--description"))
        image.SetDescription(Bounded(args, "--description", sizeof(TShortString<255>::Chars)));
    if (!image.Valid() && !args.fFlags.count("--allow-invalid"))
        throw TInputError("image is not valid: " + image.ErrorStr() + " (not written)");
    image.SaveToFile(output);
    return KExitSuccess;
}

std::string JsonString(const std::string& AText) {
    std::string out = "\"";
    for (char c : AText) {
        auto u = uint8_t(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            // Names are ANSI text; bytes outside ASCII are shown as their Latin-1 code points.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Text for a terminal: control characters (C0, DEL, C1) and the backslash as \xNN and \\, so a
// name from a file can neither move the cursor nor fake extra lines.
std::string Printable(const std::string& AText) {
    std::string out;
    for (char c : AText) {
        const auto u = uint8_t(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// A creation date of 0 is one that was never read (a truncated record) or never set.
bool HasDate(const TKelvoUsbFirmware& AImage) {
    return AImage.Date() != 0;
}

// Image and collection files are far smaller (the built-in collection is about 1.5 MB).
constexpr std::size_t MaxInfoFileBytes = 64 << 20;

// The images of one image or collection file, loaded whole before anything is listed.
struct TLoadedFile {
    bool fIsCollection = false;
    TKelvoUsbFirmwareCollection fSet{nullptr};
    TKelvoUsbFirmware fSingle;
    std::vector<const TKelvoUsbFirmware*> fImages;
};

void Load(const std::string& AFileName, TLoadedFile& AFile) {
    const std::string data = ReadFileContents(AFileName, MaxInfoFileBytes);
    if (data.size() > MaxInfoFileBytes)
        throw TInputError(AFileName + ": not a firmware image or collection (larger than 64 MiB)");
    TFirmwareFileHeader header{};
    const bool hasHeader = data.size() >= sizeof header;
    if (hasHeader)
        std::memcpy(&header, data.data(), sizeof header);
    std::istringstream in(data);
    try {
        if (hasHeader && header.Guid() == FirmwareSetFileGuid) {
            AFile.fIsCollection = true;
            AFile.fSet.LoadFromStream(in);
            for (int i = 0; i < AFile.fSet.Count(); ++i)
                AFile.fImages.push_back(AFile.fSet.Firmwares(i));
        } else if (hasHeader && header.Guid() == FirmwareFileGuid) {
            AFile.fSingle.LoadFromStream(in);
            AFile.fImages.push_back(&AFile.fSingle);
        } else {
            throw TInputError(AFileName + ": not a firmware image or collection");
        }
    } catch (const TFirmwareException& e) {
        throw TInputError(AFileName + ": " + e.what());
    }
}

void ListJson(std::ostream& AOut, const std::string& AFileName, const TLoadedFile& AFile) {
    AOut << "\n  {\"file\": " << JsonString(AFileName) << ", \"kind\": \""
         << (AFile.fIsCollection ? "collection" : "image") << "\", \"images\": [";
    for (std::size_t i = 0; i < AFile.fImages.size(); ++i) {
        const TKelvoUsbFirmware& fw = *AFile.fImages[i];
        AOut << (i ? "," : "") << "\n    {\"index\": " << i << ", \"productId\": " << fw.ProductID()
             << ", \"versionHW\": " << fw.VersionHW() << ", \"versionFW\": " << fw.VersionFW()
             << ", \"cpu\": " << fw.CPU() << ", \"cpuStr\": " << JsonString(fw.CPUStr())
             << ", \"name\": " << JsonString(fw.Name()) << ", \"valid\": " << (fw.Valid() ? "true" : "false")
             << ", \"error\": " << JsonString(fw.ErrorStr())
             << ", \"description\": " << JsonString(fw.Description())
             << ", \"created\": " << (HasDate(fw) ? JsonString(DateTimeToStr(fw.Date())) : "null") << "}";
    }
    AOut << (AFile.fImages.empty() ? "" : "\n  ") << "]}";
}

// Left-aligned in a column of AWidth, never cut.
std::string Padded(const std::string& AText, std::size_t AWidth) {
    return AText.size() < AWidth ? AText + std::string(AWidth - AText.size(), ' ') : AText;
}

void ListText(std::ostream& AOut, const TLoadedFile& AFile) {
    for (std::size_t i = 0; i < AFile.fImages.size(); ++i) {
        const TKelvoUsbFirmware& fw = *AFile.fImages[i];
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "%2zu  pid %-5u hw %-3u fw %-4u ", i, fw.ProductID(),
                      fw.VersionHW(), fw.VersionFW());
        AOut << numbers << Padded(fw.CPUStr().empty() ? "-" : Printable(fw.CPUStr()), 16) << ' '
             << Padded(fw.Name().empty() ? "-" : Printable(fw.Name()), 28) << ' '
             << (fw.Valid() ? "valid" : "invalid: " + Printable(fw.ErrorStr())) << "  "
             << (HasDate(fw) ? DateTimeToStr(fw.Date()) : "-") << "\n";
    }
}

// Lists every file that loads; each one that does not is reported on stderr, and any makes the
// exit status 1.
int Info(int argc, char** argv) {
    const TParsedArgs args = CommandArgs("info", argc, argv, {}, {"--json"});
    if (args.fFlags.count("--help")) {
        std::cout << InfoHelp;
        return KExitSuccess;
    }
    if (args.fWords.empty())
        throw TUsageError("info: no file given");
    const bool json = args.fFlags.count("--json");
    std::ostringstream out;
    if (json)
        out << "[";
    bool anyBad = false, anyListed = false;
    for (const std::string& fileName : args.fWords) {
        TLoadedFile file;
        try {
            Load(fileName, file);
        } catch (const std::runtime_error& e) {
            std::cerr << Program << ": " << Printable(e.what()) << "\n";
            anyBad = true;
            continue;
        }
        if (json) {
            out << (anyListed ? "," : "");
            ListJson(out, fileName, file);
        } else {
            if (args.fWords.size() > 1)
                out << Printable(fileName) << ":\n";
            ListText(out, file);
        }
        anyListed = true;
    }
    if (json)
        out << "\n]\n";
    std::cout << out.str();
    return anyBad ? 1 : 0;
}

int Collection(int argc, char** argv) {
    const TParsedArgs args = CommandArgs("collection", argc, argv, {"--output"}, {"--allow-invalid"});
    if (args.fFlags.count("--help")) {
        std::cout << CollectionHelp;
        return KExitSuccess;
    }
    const std::string output = Required(args, "collection", "--output");
    if (args.fWords.empty())
        throw TUsageError("collection: no image file given");
    TKelvoUsbFirmwareCollection set(nullptr);
    for (const std::string& file : args.fWords) {
        auto fw = std::make_unique<TKelvoUsbFirmware>();
        try {
            fw->LoadFromFile(file);
        } catch (const TFirmwareException& e) {
            throw TInputError(file + ": " + e.what());
        }
        if (!fw->Valid() && !args.fFlags.count("--allow-invalid"))
            throw TInputError(file + ": image is not valid: " + fw->ErrorStr() + " (nothing written)");
        set.AddFirmware(fw.release());
    }
    set.SaveToFile(output);
    return KExitSuccess;
}

int ExtractBuiltin(int argc, char** argv) {
    const TParsedArgs args = CommandArgs("extract-builtin", argc, argv, {"--output"}, {});
    if (args.fFlags.count("--help")) {
        std::cout << ExtractHelp;
        return KExitSuccess;
    }
    if (!args.fWords.empty())
        throw TUsageError("extract-builtin: unexpected argument " + args.fWords[0]);
    const std::string output = Required(args, "extract-builtin", "--output");
    TResourceBlob blob;
    if (!FindResource("FWCOLLECTION", blob))
        throw TInputError("this program carries no built-in collection");
    ReplaceFileContents(output, std::string_view(reinterpret_cast<const char*>(blob.Data), blob.Size));
    return KExitSuccess;
}

} // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "build")
            return Build(argc, argv);
        if (command == "info")
            return Info(argc, argv);
        if (command == "collection")
            return Collection(argc, argv);
        if (command == "extract-builtin")
            return ExtractBuiltin(argc, argv);
        if (command == "--help" || command == "-h" || command == "help") {
            std::cout << MainHelp;
            return KExitSuccess;
        }
        throw TUsageError(command.empty() ? "no command given (try --help)"
                                          : "unknown command " + command + " (try --help)");
    } catch (const TUsageError& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return KExitUsage;
    } catch (const std::exception& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        return KExitFailure;
    }
}
