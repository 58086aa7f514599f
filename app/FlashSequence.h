#pragma once
// One flash of an image through a bootloader, the same on every update path: erase, the
// synchronisation block, the image's data area in blocks with progress, validation. TFlashPort is a
// bootloader as the sequence drives it; TFlashSteps holds what the paths do differently: the block
// size, whether the window's events run between blocks, the path's own steps after the erase and
// the write, and the log texts, which stay letter for letter as the transcripts and users' log
// readers know them. The sequence itself is TForm1::RunFlash (Unit1Flash.cpp).
#include "MyLib/Cyphers.h"
#include "app/UpdateObserver.h"

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// Every image's data area, written from address 0: the bootloaders of the devices and of the
// targets take the same size.
inline constexpr uint32_t KFlashImageSize = 0xDF00;

class TFlashPort {
public:
    virtual ~TFlashPort() = default;
    virtual bool EraseFlash() = 0;
    virtual bool SetSynchro(const TGOSTDataBlock& ASynchro) = 0;
    virtual bool WriteBlock(uint16_t AAddress, const uint8_t* AData, uint16_t ASize) = 0;
    virtual bool ValidateFlash() = 0;
    // Whether the bootloader the flash began on is still the one held, after events ran.
    virtual bool StillPresent() = 0;
};

// A bootloader object as a flash port: its own erase, synchronisation, write and validation calls,
// and APresent telling whether it is still the one held.
template <class TBootloader> class TBootloaderFlashPort final : public TFlashPort {
public:
    TBootloaderFlashPort(TBootloader& ABootloader, std::function<bool()> APresent)
        : fBootloader(ABootloader), fPresent(std::move(APresent)) {}
    bool EraseFlash() override { return fBootloader.EraseFlash(); }
    bool SetSynchro(const TGOSTDataBlock& ASynchro) override { return fBootloader.SetSynchro(ASynchro); }
    bool WriteBlock(uint16_t AAddress, const uint8_t* AData, uint16_t ASize) override {
        // The radio targets' bootloader counts a block's size in one byte.
        if constexpr (requires { fBootloader.WriteFlashBlock(AAddress, AData, uint8_t(ASize)); })
            return fBootloader.WriteFlashBlock(AAddress, AData, uint8_t(ASize));
        else
            return fBootloader.WriteFlash(AAddress, AData, ASize);
    }
    bool ValidateFlash() override { return fBootloader.ValidateFlash(); }
    bool StillPresent() override { return !fPresent || fPresent(); }

private:
    TBootloader& fBootloader;
    std::function<bool()> fPresent;
};

struct TFlashSteps {
    // The device or target flashed, for the window's observer.
    TUpdateSubject fSubject;
    uint16_t fBlockSize = 0;
    // After each block the window's events run and the flash stops when the bootloader went away
    // meanwhile (logging fGone), or when fInterrupted is set and the window is closing (logging
    // fInterrupted); without events only the progress bar is repainted.
    bool fEventsBetweenBlocks = false;
    const char* fInterrupted = nullptr;
    std::vector<const char*> fGone;
    // Whether the progress bar is set to the image before the first block (else the caller has
    // set it).
    bool fSetProgressRange = false;
    // Whether the last presence check follows the validation text instead of the last block.
    bool fLastCheckAfterValidating = false;
    // The path's own step after the erase; false ends the flash for now, without a failure.
    std::function<bool()> fAfterErase;
    // The path's own step once every block is written.
    std::function<void()> fAfterWrite;
    const char* fSynchroFailed = nullptr;
    std::vector<const char*> fWriteFailed;
    const char* fWritten = nullptr; // none when nullptr
    const char* fValidating = nullptr;
    const char* fValidateFailed = nullptr;
};

// The steps of a target's flash through either controller, in blocks of ABlockSize, with no events
// between blocks; the texts are the targets' own.
TFlashSteps TargetFlashSteps(uint16_t ABlockSize);

enum class TFlashResult {
    Flashed,
    Paused,  // fAfterErase ended it; the bootloader goes on from the erase later
    Failed,  // a request failed, the bootloader went away or the window is closing
    Refused, // every block went in and the bootloader did not validate the image
};
