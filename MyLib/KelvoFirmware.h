#pragma once
// Firmware images (one enciphered MSP430 main memory with its identity) and the collection of them,
// with their file forms, lookup, and the image-building operations.
#include "MyLib/Cyphers.h"
#include "MyLib/FirmwareDate.h"
#include "platform/Component.h"
#include "platform/Guid.h"
#include "platform/Http.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#pragma pack(push, 1)

// Length byte followed by N bytes of which the first Length are the text; the rest is not significant.
template <std::size_t N> struct TShortString {
    uint8_t Length = 0;
    char Chars[N] = {};

    std::string Get() const { return std::string(Chars, std::min<std::size_t>(Length, N)); }
    void Set(const std::string& AText) {
        Length = uint8_t(AText.size() < N ? AText.size() : N);
        for (std::size_t i = 0; i < N; ++i)
            Chars[i] = i < Length ? AText[i] : '\0';
    }
};

// Plaintext image of MSP430 addresses 0x1100..0xEFFF.
struct TMSP430MainMemory {
    uint8_t Code[0xDEF0];
    uint16_t wSecurityLevel;
    uint16_t wFirmwareVersion;
    uint16_t wFirmwareHwId;
    uint16_t wFirmwarePresenseFlag;
    TGOSTDataBlock aImito; // authentication code over everything before it
};
using PMSP430MainMemory = TMSP430MainMemory*;
inline constexpr std::size_t MainMemoryCheckedSize = 0xDEF8;

struct TMSP430InfoMemory {
    uint8_t Segment1[128];
    uint8_t Segment2[128];
};

// The whole 16-bit address space, offset = address.
struct TMSP430Memory {
    uint8_t Reserved[0x1000];
    TMSP430InfoMemory Info;
    TMSP430MainMemory Main;
    uint8_t Stub[0x1000]; // the bootloader's area, never part of an image
};
using PMSP430Memory = TMSP430Memory*;

// What a bootloader is sent: block 0 is the synchronisation block, block 1 + k the enciphered
// main-memory block at offset 8k.
struct TMSP430CryptedBinaryChecked {
    static constexpr std::size_t BlockCount = 7137;

    TGOSTDataBlock SynchroPacket;
    TMSP430MainMemory Main;

    // Block AIndex (0..BlockCount-1); throws std::out_of_range past the end.
    TGOSTDataBlock Block(std::size_t AIndex) const;
};
using PMSP430CryptedBinaryChecked = TMSP430CryptedBinaryChecked*;

struct TMSP430CryptedBinaryContainer {
    TMSP430CryptedBinaryChecked Binary; // SynchroPacket (plain) and Main (enciphered)
    double date;                        // days since 30 December 1899, local time
    uint16_t ProductId;
    uint16_t CPU; // digits after "MSP430F"
    TShortString<16> CPUStr;
    uint32_t MemoryStart;
    uint32_t MemoryEnd;
    uint16_t VersionHW;
    uint16_t VersionFW;
    TShortString<255> Description;
};

struct TMSP430Firmware {
    TMSP430CryptedBinaryContainer Checked;
    uint32_t CRC32; // CRC-32 of Checked
};
using PMSP430Firmware = TMSP430Firmware*;

// Header of an image file and of a set file. GUID is kept as its 16 stored bytes.
struct TFirmwareFileHeader {
    TShortString<80> TextID;
    uint8_t GUID[16];
    int32_t Version;

    TGUID Guid() const;
    void SetGuid(const TGUID& AGuid);
};

#pragma pack(pop)

static_assert(sizeof(TMSP430MainMemory) == 57088);
static_assert(sizeof(TMSP430Memory) == 65536);
static_assert(sizeof(TMSP430CryptedBinaryChecked) == 57096);
static_assert(sizeof(TMSP430CryptedBinaryContainer) == 57393);
static_assert(sizeof(TMSP430Firmware) == 57397);
static_assert(sizeof(TFirmwareFileHeader) == 101);

// Identifies an image file and a set file by their header GUID.
inline constexpr TGUID FirmwareFileGuid = {
    0xB3518672, 0x0A64, 0x4F6F, {0xB4, 0x82, 0x4A, 0x01, 0x82, 0x71, 0x96, 0x5D}};
inline constexpr TGUID FirmwareSetFileGuid = {
    0xB322DA00, 0xACB9, 0x4D5A, {0xB0, 0xF1, 0x5B, 0x8C, 0x0B, 0x6C, 0x2C, 0x37}};

// Every format and file error of images and collections.
class TFirmwareException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TKelvoUsbFirmware {
public:
    TKelvoUsbFirmware();
    TKelvoUsbFirmware(const TKelvoUsbFirmware&) = delete;
    TKelvoUsbFirmware& operator=(const TKelvoUsbFirmware&) = delete;

    uint16_t ProductID() const { return fFW.Checked.ProductId; }
    void SetProductID(uint16_t AValue);
    uint16_t VersionHW() const { return fFW.Checked.VersionHW; }
    void SetVersionHW(uint16_t AValue);
    uint16_t VersionFW() const { return fFW.Checked.VersionFW; }
    void SetVersionFW(uint16_t AValue);
    uint16_t CPU() const { return fFW.Checked.CPU; }
    // A known processor number sets the memory range and revalidates; any other sets CPU to 0 only.
    void SetCPU(uint16_t AValue);
    std::string CPUStr() const { return fFW.Checked.CPUStr.Get(); }
    void SetCPUStr(const std::string& AValue);
    std::string Description() const { return fFW.Checked.Description.Get(); }
    void SetDescription(const std::string& AValue);
    // Creation time (days since 30 December 1899); setting it revalidates like the identity setters.
    double Date() const { return fFW.Checked.date; }
    void SetDate(double AValue);

    bool Valid() const { return fValid; }
    const std::string& ErrorStr() const { return fErrorStr; }
    const TGUID& DeviceGUID() const { return fDeviceGUID; }
    const std::string& Name() const { return fName; }
    int32_t FileVersion() const { return fFileVersion; }
    uint32_t MemoryStart() const { return fFW.Checked.MemoryStart; }
    uint32_t MemoryEnd() const { return fFW.Checked.MemoryEnd; }
    uint32_t CRC() const { return fFW.CRC32; }
    // The stored record as it is. Its fields are packed: read them by value, never bind references.
    const TMSP430Firmware& Data() const { return fFW; }

    // The synchronisation block and the enciphered main memory, valid for the object's life.
    const TMSP430CryptedBinaryChecked* Bin() const { return &fFW.Checked.Binary; }

    void LoadFromFile(const std::string& AFileName);
    void LoadFromResource(const std::string& AResourceName);
    void LoadFromStream(std::istream& AStream);
    void CheckFileHeader(const TFirmwareFileHeader& AHeader);
    void ReadFromStream(std::istream& AStream);
    void WriteToStream(std::ostream& AStream) const;
    // Writes a temporary file beside AFileName and renames it, so no half-written file is left.
    void SaveToFile(const std::string& AFileName) const;
    static void FillFileHeader(TFirmwareFileHeader& AHeader);

    // Checks the identity; when complete, recomputes CRC, DeviceGUID and Name and makes the image valid.
    void UpdateCRC();
    // Takes the identity from the memory (words and firmware-id marker), adds the authentication
    // code and enciphers the main memory under a fresh synchronisation block from the system's
    // secure source, or under ASynchro.
    void SetMemory(const TMSP430Memory& ASrc, const TGOSTKey& AKey, const TGOSTTable& ATable);
    void SetMemory(const TMSP430Memory& ASrc, const TGOSTKey& AKey, const TGOSTTable& ATable,
                   const TGOSTDataBlock& ASynchro);
    // Takes an already enciphered main memory and its synchronisation block.
    void SetBinary(const TMSP430MainMemory& ABin, const TGOSTDataBlock& ASynchro);

    // The firmware kind's name, empty for a combination without one.
    static std::string FirmwareIdName(uint16_t AProductId, uint16_t AVersionHW);

    // Fetches the image file for the product and hardware version from the download server whose
    // base URL (ending in "/downloads/fw/") is AServerUrl, and
    // loads it into this object: true only when an image arrived and is valid. No failure raises.
    // The image is whatever the file holds; it is not compared with the request. A failure may
    // leave the object half overwritten, so callers download into a fresh image.
    bool DownloadFromInternet(const std::string& AServerUrl, uint16_t AProductId, uint16_t AVersionHW);
    // "pid" + four hex digits + "hw" + four hex digits + ".kelvousbfw", all lower case.
    static std::string DownloadFileName(uint16_t AProductId, uint16_t AVersionHW);
    // The maker's download server, used unless a front end is given another.
    static constexpr const char* DefaultDownloadServer = "http://firmware.kelvo.example/downloads/fw/";
    // Connect and stall time-outs of downloads (tests shorten the stall time).
    static void SetDownloadOptions(const THttpOptions& AOptions);

private:
    void ApplyMarker(std::string AText);

    TMSP430Firmware fFW{};
    bool fValid = false;
    std::string fErrorStr;
    int32_t fFileVersion = 0;
    TGUID fDeviceGUID{};
    std::string fName;
};

// Loading replaces the collection's entries with the stream's. A set header that is refused leaves
// the collection as it was; an entry that fails to load is dropped (the entries before it stay,
// with no empty place) and the exception goes on to the caller.
class TKelvoUsbFirmwareCollection : public TComponent {
public:
    explicit TKelvoUsbFirmwareCollection(TComponent* AOwner);
    ~TKelvoUsbFirmwareCollection() override;

    int Count() const { return int(fList.size()); }
    // Throws std::out_of_range for an index outside 0..Count-1.
    TKelvoUsbFirmware* get_Firmware(int AIndex) const { return fList.at(std::size_t(AIndex)).get(); }
    TKelvoUsbFirmware* Firmwares(int AIndex) const { return get_Firmware(AIndex); }
    uint32_t FileVersion() const { return fFileVersion; }

    // The collection owns AFirmware from then on.
    void AddFirmware(TKelvoUsbFirmware* AFirmware);
    // Frees AFirmware and closes the gap; an image not in the list is ignored and not freed.
    void RemoveFirmware(TKelvoUsbFirmware* AFirmware);
    // Takes AFirmware out of the list and hands it over; nullptr when it is not in the list.
    std::unique_ptr<TKelvoUsbFirmware> ExtractFirmware(TKelvoUsbFirmware* AFirmware);

    TKelvoUsbFirmware* FindById(uint16_t AProductId, uint16_t AVersionHW) const;
    TKelvoUsbFirmware* FindByName(const std::string& AName) const;

    void LoadFromFile(const std::string& AFileName);
    // A set file's content from its header on.
    void LoadFromStream(std::istream& AStream);
    void LoadFromResourceName(const std::string& AName);
    void ReadFromStream(std::istream& AStream);
    void WriteToStream(std::ostream& AStream) const;
    // Writes a temporary file beside AFileName and renames it, so no half-written file is left.
    void SaveToFile(const std::string& AFileName) const;

private:
    void LoadFromSetStream(std::istream& AStream, bool AFromResource);

    uint32_t fFileVersion = 0;
    std::vector<std::unique_ptr<TKelvoUsbFirmware>> fList;
};
