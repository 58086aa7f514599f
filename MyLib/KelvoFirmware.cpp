#include "MyLib/KelvoFirmware.h"

#include "MyLib/KelvoProducts.h"

#include "MyLib/CRC32.h"
#include "MyLib/KelvoSerials.h"
#include "platform/AtomicFile.h"
#include "platform/Resources.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace {

const char ImageBanner[] = "\r\nKELVO USB firmware file     \r\n";
const char SetBanner[] = "\r\nKELVO USB firmware set file \r\n";
static_assert(sizeof ImageBanner - 1 == 32 && sizeof SetBanner - 1 == 32);

constexpr uint32_t MemoryStartAddress = 0x1100;
constexpr uint32_t MemoryEndAddress = 0xEFFF;
// The smallest entry a set file can hold: header and record of an old-format image.
constexpr uint64_t MinEntrySize = sizeof(TFirmwareFileHeader) + sizeof(TMSP430Firmware);

bool IsKnownCpu(uint16_t AValue) {
    switch (AValue) {
    case 147:
    case 149:
    case 167:
    case 169:
    case 235:
    case 1611:
    case 2617:
    case 5508:
    case 5522:
    case 5528:
    case 5529:
        return true;
    default:
        return false;
    }
}

// Reads up to ASize bytes; a short read is not an error here, the caller looks at the count.
std::size_t ReadUpTo(std::istream& AStream, void* ADest, std::size_t ASize) {
    AStream.read(static_cast<char*>(ADest), std::streamsize(ASize));
    return std::size_t(AStream.gcount());
}

// Bytes left after the current position, when the stream can tell.
std::optional<uint64_t> Remaining(std::istream& AStream) {
    if (!AStream.good())
        return std::nullopt;
    std::streampos here = AStream.tellg();
    if (here == std::streampos(-1))
        return std::nullopt;
    AStream.seekg(0, std::ios_base::end);
    std::streampos end = AStream.tellg();
    AStream.seekg(here);
    if (end == std::streampos(-1) || !AStream.good()) {
        AStream.clear();
        AStream.seekg(here);
        return std::nullopt;
    }
    return uint64_t(end - here);
}

// The reason given for a record cut short; a name, when there is one, would be missing as well.
std::string Truncated(std::size_t AMissing) {
    return "file truncated: at least " + std::to_string(AMissing) + " bytes missing";
}

// Reads a header; one that does not arrive whole cannot belong to a firmware file.
TFirmwareFileHeader ReadHeader(std::istream& AStream, const char* AMessage) {
    TFirmwareFileHeader header;
    if (ReadUpTo(AStream, &header, sizeof header) != sizeof header)
        throw TFirmwareException(AMessage);
    return header;
}

void WriteOrThrow(std::ostream& AStream, const void* AData, std::size_t ASize) {
    AStream.write(static_cast<const char*>(AData), std::streamsize(ASize));
    if (!AStream)
        throw TFirmwareException("error writing to stream");
}

// Serialises into memory, then replaces AFileName as a whole (see ReplaceFileContents).
template <typename TWriter> void SaveAtomically(const std::string& AFileName, TWriter AWrite) {
    std::ostringstream out;
    AWrite(out);
    try {
        ReplaceFileContents(AFileName, out.view());
    } catch (const EAtomicWriteError& e) {
        throw TFirmwareException(e.what());
    }
}

std::ifstream OpenForReading(const std::string& AFileName) {
    std::ifstream in(AFileName, std::ios::binary);
    if (!in)
        throw TFirmwareException("Cannot open file \"" + AFileName + "\": " + std::strerror(errno));
    return in;
}

TResourceBlob FindResourceOrThrow(const std::string& AName) {
    TResourceBlob blob;
    if (!FindResource(AName, blob))
        throw TFirmwareException("Resource \"" + AName + "\" not found");
    return blob;
}

std::string Trimmed(const std::string& AText) {
    std::size_t first = 0, last = AText.size();
    while (first < last && uint8_t(AText[first]) <= 32)
        ++first;
    while (last > first && uint8_t(AText[last - 1]) <= 32)
        --last;
    return AText.substr(first, last - first);
}

// The value of the leading hexadecimal digits (0 for none), kept to 16 bits.
uint16_t LeadingHex(const std::string& AText) {
    uint16_t value = 0;
    for (char c : AText) {
        int digit = std::isdigit(uint8_t(c)) ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0)
            break;
        value = uint16_t(value * 16 + digit);
    }
    return value;
}

bool SameTextIgnoringCase(const std::string& A, const std::string& B) {
    if (A.size() != B.size())
        return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (std::tolower(uint8_t(A[i])) != std::tolower(uint8_t(B[i])))
            return false;
    return true;
}

} // namespace

TGOSTDataBlock TMSP430CryptedBinaryChecked::Block(std::size_t AIndex) const {
    if (AIndex >= BlockCount)
        throw std::out_of_range("firmware block index");
    TGOSTDataBlock block;
    std::memcpy(&block, reinterpret_cast<const uint8_t*>(this) + AIndex * sizeof block, sizeof block);
    return block;
}

TGUID TFirmwareFileHeader::Guid() const {
    TGUID g;
    std::memcpy(&g, GUID, sizeof g);
    return g;
}

void TFirmwareFileHeader::SetGuid(const TGUID& AGuid) {
    std::memcpy(GUID, &AGuid, sizeof GUID);
}

// ---- TKelvoUsbFirmware ----

TKelvoUsbFirmware::TKelvoUsbFirmware() : fErrorStr("Empty") {
    fFW.Checked.date = CurrentDateTime();
}

void TKelvoUsbFirmware::SetProductID(uint16_t AValue) {
    fFW.Checked.ProductId = AValue;
    UpdateCRC();
}

void TKelvoUsbFirmware::SetVersionHW(uint16_t AValue) {
    fFW.Checked.VersionHW = AValue;
    UpdateCRC();
}

void TKelvoUsbFirmware::SetVersionFW(uint16_t AValue) {
    fFW.Checked.VersionFW = AValue;
    UpdateCRC();
}

void TKelvoUsbFirmware::SetCPU(uint16_t AValue) {
    if (!IsKnownCpu(AValue)) {
        fFW.Checked.CPU = 0;
        return;
    }
    fFW.Checked.MemoryStart = MemoryStartAddress;
    fFW.Checked.MemoryEnd = MemoryEndAddress;
    fFW.Checked.CPU = AValue;
    UpdateCRC();
}

void TKelvoUsbFirmware::SetCPUStr(const std::string& AValue) {
    fFW.Checked.CPUStr.Set(AValue);
    const std::string text = fFW.Checked.CPUStr.Get();
    uint32_t number = 0;
    if (text.size() >= 7 && SameTextIgnoringCase(text.substr(0, 7), "MSP430F")) {
        std::size_t i = 7;
        while (i < text.size() && text[i] == ' ')
            ++i;
        // Saturates, so a long digit run cannot wrap into a known processor number.
        for (; i < text.size() && std::isdigit(uint8_t(text[i])); ++i)
            number = std::min<uint32_t>(number * 10 + uint32_t(text[i] - '0'), 0x10000);
    }
    SetCPU(number > 0xFFFF ? 0 : uint16_t(number));
}

void TKelvoUsbFirmware::SetDescription(const std::string& AValue) {
    fFW.Checked.Description.Set(AValue);
    UpdateCRC();
}

void TKelvoUsbFirmware::SetDate(double AValue) {
    fFW.Checked.date = AValue;
    UpdateCRC();
}

void TKelvoUsbFirmware::UpdateCRC() {
    fValid = false;
    fFW.CRC32 = 0;
    const auto& c = fFW.Checked;
    const char* error = c.ProductId == 0     ? "invalid product id"
                        : c.VersionHW == 0   ? "invalid hardware version"
                        : c.VersionFW == 0   ? "invalid firmware version"
                        : c.CPU == 0         ? "invalid processor id"
                        : c.MemoryStart == 0 ? "invalid memory start address"
                        : c.MemoryEnd == 0   ? "invalid memory end address"
                                             : nullptr;
    if (error) {
        fErrorStr = error;
        return;
    }
    fFW.CRC32 = CRC32(&fFW.Checked, sizeof fFW.Checked);
    ProductIdToGuid(c.ProductId, fDeviceGUID);
    fName = FirmwareIdName(c.ProductId, c.VersionHW);
    fErrorStr.clear();
    fValid = true;
}

void TKelvoUsbFirmware::CheckFileHeader(const TFirmwareFileHeader& AHeader) {
    if (AHeader.Guid() != FirmwareFileGuid)
        throw TFirmwareException("Invalid firmware file");
    if (AHeader.Version > 2 || AHeader.Version < 0)
        throw TFirmwareException("Invalid file version");
    fFileVersion = AHeader.Version;
}

void TKelvoUsbFirmware::ReadFromStream(std::istream& AStream) {
    try {
        fErrorStr = "error reading from stream";
        // What follows the record in the current format: the device GUID and the name length.
        const std::size_t trailer = fFileVersion < 2 ? 0 : sizeof(TGUID) + sizeof(int32_t);
        const std::size_t gotRecord = ReadUpTo(AStream, &fFW, sizeof fFW);
        const bool whole = gotRecord == sizeof fFW;
        // Nothing of an earlier content stays behind in what did not arrive.
        std::memset(reinterpret_cast<uint8_t*>(&fFW) + gotRecord, 0, sizeof fFW - gotRecord);
        fErrorStr = "error calculating CRC";
        fValid = whole && CRC32(&fFW.Checked, sizeof fFW.Checked) == fFW.CRC32;
        fErrorStr = !whole ? Truncated(sizeof fFW - gotRecord + trailer) : fValid ? "" : "invalid CRC";
        if (fFileVersion < 2 || !whole) {
            // Older formats carry no device GUID or name and are never valid; a short record has
            // nothing after it to read.
            fDeviceGUID = TGUID{};
            fName.clear();
            if (whole && fValid)
                fErrorStr = "unsupported file version " + std::to_string(fFileVersion);
            fValid = false;
            return;
        }
        TGUID guid{};
        int32_t length = 0;
        const std::size_t gotTrailer =
            ReadUpTo(AStream, &guid, sizeof guid) + ReadUpTo(AStream, &length, sizeof length);
        if (gotTrailer != trailer) {
            fDeviceGUID = TGUID{};
            fName.clear();
            fValid = false;
            fErrorStr = Truncated(trailer - gotTrailer);
            return;
        }
        fDeviceGUID = guid;
        std::optional<uint64_t> left = Remaining(AStream);
        if (length < 0 || (left && uint64_t(length) > *left))
            throw TFirmwareException("Invalid firmware name length");
        // Grows only with bytes that actually arrive, for streams that cannot tell their size.
        std::string name;
        char chunk[4096];
        for (std::size_t want = std::size_t(length); want > 0;) {
            std::size_t got = ReadUpTo(AStream, chunk, std::min(want, sizeof chunk));
            if (got == 0)
                throw TFirmwareException("Invalid firmware name length");
            name.append(chunk, got);
            want -= got;
        }
        fName = std::move(name);
    } catch (...) {
        fValid = false;
        throw;
    }
}

void TKelvoUsbFirmware::LoadFromStream(std::istream& AStream) {
    CheckFileHeader(ReadHeader(AStream, "Invalid firmware file"));
    ReadFromStream(AStream);
}

void TKelvoUsbFirmware::LoadFromFile(const std::string& AFileName) {
    std::ifstream in = OpenForReading(AFileName);
    LoadFromStream(in);
}

void TKelvoUsbFirmware::LoadFromResource(const std::string& AResourceName) {
    TResourceBlob blob = FindResourceOrThrow(AResourceName);
    TMemoryReadStream in(blob.Data, blob.Size);
    LoadFromStream(in);
}

void TKelvoUsbFirmware::WriteToStream(std::ostream& AStream) const {
    WriteOrThrow(AStream, &fFW, sizeof fFW);
    WriteOrThrow(AStream, &fDeviceGUID, sizeof fDeviceGUID);
    int32_t length = int32_t(fName.size());
    WriteOrThrow(AStream, &length, sizeof length);
    WriteOrThrow(AStream, fName.data(), fName.size());
}

void TKelvoUsbFirmware::FillFileHeader(TFirmwareFileHeader& AHeader) {
    AHeader = TFirmwareFileHeader{};
    AHeader.TextID.Set(ImageBanner);
    AHeader.SetGuid(FirmwareFileGuid);
    AHeader.Version = 2;
}

void TKelvoUsbFirmware::SaveToFile(const std::string& AFileName) const {
    SaveAtomically(AFileName, [this](std::ostream& AOut) {
        TFirmwareFileHeader header;
        FillFileHeader(header);
        WriteOrThrow(AOut, &header, sizeof header);
        WriteToStream(AOut);
    });
}

void TKelvoUsbFirmware::SetMemory(const TMSP430Memory& ASrc, const TGOSTKey& AKey, const TGOSTTable& ATable) {
    TGOSTCrypt generator;
    generator.GenerateSynchro();
    SetMemory(ASrc, AKey, ATable, generator.SY);
}

void TKelvoUsbFirmware::SetMemory(const TMSP430Memory& ASrc, const TGOSTKey& AKey, const TGOSTTable& ATable,
                                  const TGOSTDataBlock& ASynchro) {
    auto main = std::make_unique<TMSP430MainMemory>(ASrc.Main);
    TGOSTCrypt cipher;
    cipher.K = AKey;
    cipher.SetTable(ATable);
    cipher.SY = ASynchro;
    fFW.Checked.Binary.SynchroPacket = ASynchro;

    fFW.Checked.ProductId = main->wFirmwareHwId;
    fFW.Checked.VersionFW = main->wFirmwareVersion;

    // The marker runs from "@FWID@" to the next zero byte inside the code area; without that
    // zero byte there is no marker.
    static const char Tag[] = "@FWID@";
    const uint8_t* code = main->Code;
    const uint8_t* end = code + sizeof main->Code;
    const uint8_t* at = std::search(code, end, Tag, Tag + 6);
    if (at != end) {
        const uint8_t* zero = std::find(at, end, 0);
        if (zero != end)
            ApplyMarker(std::string(reinterpret_cast<const char*>(at), std::size_t(zero - at)));
    }

    TGOSTDataBlock imito;
    cipher.Imito(main.get(), MainMemoryCheckedSize, imito);
    main->aImito = imito;
    cipher.Encrypt(main.get(), &fFW.Checked.Binary.Main, sizeof(TMSP430MainMemory));
    UpdateCRC();
}

void TKelvoUsbFirmware::ApplyMarker(std::string AText) {
    AText = Trimmed(AText);
    if (AText.compare(0, 6, "@FWID@") != 0)
        return;
    std::map<char, std::string> items;
    std::size_t start = 6;
    while (start <= AText.size()) {
        std::size_t amp = AText.find('&', start);
        std::string item = AText.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        if (!item.empty()) {
            char key = char(std::toupper(uint8_t(item[0])));
            if (item.size() == 1)
                items.erase(key);
            else
                items[key] = item.substr(1);
        }
        if (amp == std::string::npos)
            break;
        start = amp + 1;
    }
    auto value = [&items](char AKey) {
        auto it = items.find(AKey);
        return it == items.end() ? std::string() : it->second;
    };
    fFW.Checked.ProductId = LeadingHex(value('P'));
    fFW.Checked.VersionHW = LeadingHex(value('H'));
    fFW.Checked.VersionFW = LeadingHex(value('F'));
    SetCPUStr(value('C'));
}

void TKelvoUsbFirmware::SetBinary(const TMSP430MainMemory& ABin, const TGOSTDataBlock& ASynchro) {
    fFW.Checked.Binary.Main = ABin;
    fFW.Checked.Binary.SynchroPacket = ASynchro;
    fFW.Checked.date = CurrentDateTime();
    UpdateCRC();
}

std::string TKelvoUsbFirmware::FirmwareIdName(uint16_t AProductId, uint16_t AVersionHW) {
    const TKelvoProduct* product = FindKelvoProduct(AProductId);
    return product ? HardwareName(product->FirmwareNames, AVersionHW) : "";
}

// ---- TKelvoUsbFirmwareCollection ----

TKelvoUsbFirmwareCollection::TKelvoUsbFirmwareCollection(TComponent* AOwner) : TComponent(AOwner) {}

TKelvoUsbFirmwareCollection::~TKelvoUsbFirmwareCollection() = default;

void TKelvoUsbFirmwareCollection::AddFirmware(TKelvoUsbFirmware* AFirmware) {
    fList.emplace_back(AFirmware);
}

void TKelvoUsbFirmwareCollection::RemoveFirmware(TKelvoUsbFirmware* AFirmware) {
    ExtractFirmware(AFirmware);
}

std::unique_ptr<TKelvoUsbFirmware>
TKelvoUsbFirmwareCollection::ExtractFirmware(TKelvoUsbFirmware* AFirmware) {
    for (auto it = fList.begin(); it != fList.end(); ++it)
        if (it->get() == AFirmware) {
            std::unique_ptr<TKelvoUsbFirmware> taken = std::move(*it);
            fList.erase(it);
            return taken;
        }
    return nullptr;
}

TKelvoUsbFirmware* TKelvoUsbFirmwareCollection::FindById(uint16_t AProductId, uint16_t AVersionHW) const {
    for (const auto& fw : fList)
        if (fw->ProductID() == AProductId && fw->VersionHW() == AVersionHW)
            return fw.get();
    return nullptr;
}

TKelvoUsbFirmware* TKelvoUsbFirmwareCollection::FindByName(const std::string& AName) const {
    for (const auto& fw : fList)
        if (SameTextIgnoringCase(fw->Name(), AName))
            return fw.get();
    return nullptr;
}

void TKelvoUsbFirmwareCollection::LoadFromSetStream(std::istream& AStream, bool AFromResource) {
    const char* what =
        AFromResource ? "Invalid firmware collection resource" : "Invalid firmware collection file";
    TFirmwareFileHeader header = ReadHeader(AStream, what);
    if (header.Guid() != FirmwareSetFileGuid)
        throw TFirmwareException(what);
    if (header.Version > 1 || header.Version < 0)
        throw TFirmwareException(std::string(what) + " version");
    fFileVersion = uint32_t(header.Version);
    ReadFromStream(AStream);
}

void TKelvoUsbFirmwareCollection::LoadFromStream(std::istream& AStream) {
    LoadFromSetStream(AStream, false);
}

void TKelvoUsbFirmwareCollection::LoadFromFile(const std::string& AFileName) {
    std::ifstream in = OpenForReading(AFileName);
    LoadFromSetStream(in, false);
}

void TKelvoUsbFirmwareCollection::LoadFromResourceName(const std::string& AName) {
    TResourceBlob blob = FindResourceOrThrow(AName);
    TMemoryReadStream in(blob.Data, blob.Size);
    LoadFromSetStream(in, true);
}

void TKelvoUsbFirmwareCollection::ReadFromStream(std::istream& AStream) {
    int32_t count = 0;
    if (ReadUpTo(AStream, &count, sizeof count) != sizeof count)
        throw TFirmwareException("Invalid firmware collection entry count");
    std::optional<uint64_t> left = Remaining(AStream);
    if (count < 0)
        throw TFirmwareException("Invalid firmware collection entry count");
    if (left && uint64_t(count) > *left / MinEntrySize)
        throw TFirmwareException("Invalid firmware collection entry count: " + std::to_string(count) +
                                 " entries do not fit in the " + std::to_string(*left) +
                                 " bytes left (file truncated?)");
    fList.clear();
    if (left) // the count is known to fit; otherwise the list grows with what arrives
        fList.reserve(std::size_t(count));
    for (int32_t i = 0; i < count; ++i) {
        // Only a completely read entry joins the list, so no place is ever left empty.
        auto fw = std::make_unique<TKelvoUsbFirmware>();
        fw->CheckFileHeader(ReadHeader(AStream, "Invalid firmware file"));
        fw->ReadFromStream(AStream);
        fList.push_back(std::move(fw));
    }
}

void TKelvoUsbFirmwareCollection::WriteToStream(std::ostream& AStream) const {
    int32_t count = int32_t(fList.size());
    WriteOrThrow(AStream, &count, sizeof count);
    for (const auto& fw : fList) {
        TFirmwareFileHeader header;
        fw->FillFileHeader(header);
        WriteOrThrow(AStream, &header, sizeof header);
        fw->WriteToStream(AStream);
    }
}

void TKelvoUsbFirmwareCollection::SaveToFile(const std::string& AFileName) const {
    SaveAtomically(AFileName, [this](std::ostream& AOut) {
        TFirmwareFileHeader header{};
        header.TextID.Set(SetBanner);
        header.SetGuid(FirmwareSetFileGuid);
        header.Version = 1;
        WriteOrThrow(AOut, &header, sizeof header);
        WriteToStream(AOut);
    });
}
