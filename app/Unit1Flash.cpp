// The flash sequence every update path runs through its bootloader (see FlashSequence.h).
#include "app/FlashSequence.h"
#include "app/Unit1.h"

#include <algorithm>

TFlashSteps TargetFlashSteps(uint16_t ABlockSize) {
    TFlashSteps steps;
    steps.fBlockSize = ABlockSize;
    steps.fSynchroFailed = "Error writing flash!";
    // "wiring" is the text users' log readers and the transcripts know: kept letter for letter.
    steps.fWriteFailed = {"Error wiring flash!", "Please disconnect/connect and try again."};
    steps.fValidating = "Validating...";
    steps.fValidateFailed = "Error validating flash! Try to reconnect and update again.";
    return steps;
}

TFlashResult TForm1::RunFlash(TFlashPort& APort, const TKelvoUsbFirmware& AImage, const TFlashSteps& ASteps) {
    // A throwing device call or event handler ends the flash as a failure; the journal keeps the
    // step reached, and the next arrival of the bootloader starts again from there.
    try {
        return FlashImage(APort, AImage, ASteps);
    } catch (...) {
        return TFlashResult::Failed;
    }
}

TFlashResult TForm1::FlashImage(TFlashPort& APort, const TKelvoUsbFirmware& AImage,
                                const TFlashSteps& ASteps) {
    // fFailReason follows the request under way, so a flash that stops (or throws) says where.
    fFailReason = TFailReason::Erase;
    fObserver->StageBegun(ASteps.fSubject, TUpdateStage::Erase);
    LogMessage("Erasing flash...");
    ListBox1.Repaint();
    if (!APort.EraseFlash()) {
        LogMessage("Error erasing flash!");
        return TFlashResult::Failed;
    }
    if (ASteps.fAfterErase && !ASteps.fAfterErase())
        return TFlashResult::Paused;
    fObserver->StageBegun(ASteps.fSubject, TUpdateStage::Write);
    LogMessage("Writing firmware...");
    ListBox1.Repaint();
    // The image goes out enciphered, as stored: the synchronisation block, then the data area.
    const TMSP430CryptedBinaryChecked& bin = *AImage.Bin();
    static_assert(sizeof bin.Main == KFlashImageSize);
    fFailReason = TFailReason::Synchro;
    if (!APort.SetSynchro(bin.SynchroPacket)) {
        LogMessage(ASteps.fSynchroFailed);
        return TFlashResult::Failed;
    }
    if (ASteps.fSetProgressRange) {
        ProgressBar1.SetMin(0);
        ProgressBar1.SetMax(int(KFlashImageSize));
        ProgressBar1.SetPosition(0);
    }
    const auto* data = reinterpret_cast<const uint8_t*>(&bin.Main);
    const uint32_t blocks = (KFlashImageSize + ASteps.fBlockSize - 1) / ASteps.fBlockSize;
    uint32_t blocksDone = 0;
    fFailReason = TFailReason::Write;
    for (uint32_t address = 0; address < KFlashImageSize;) {
        const uint32_t size = std::min<uint32_t>(ASteps.fBlockSize, KFlashImageSize - address);
        if (!APort.WriteBlock(uint16_t(address), data, uint16_t(size))) {
            if (ASteps.fInterrupted && CloseRequested()) {
                LogMessage(ASteps.fInterrupted);
                fFailReason = TFailReason::Interrupted;
            } else {
                for (const char* text : ASteps.fWriteFailed)
                    LogMessage(text);
            }
            return TFlashResult::Failed;
        }
        data += size;
        address += size;
        ProgressBar1.SetPosition(int(address));
        fObserver->Progressed(ASteps.fSubject, ++blocksDone, blocks);
        if (!ASteps.fEventsBetweenBlocks) {
            ProgressBar1.Repaint();
            continue;
        }
        Toolkit.ProcessMessages();
        const bool last = address == KFlashImageSize;
        if ((!last || !ASteps.fLastCheckAfterValidating) && !FlashMayGoOn(APort, ASteps))
            return TFlashResult::Failed;
    }
    if (ASteps.fWritten) {
        LogMessage(ASteps.fWritten);
        ProgressBar1.SetPosition(ProgressBar1.Max());
    }
    if (ASteps.fAfterWrite)
        ASteps.fAfterWrite();
    fFailReason = TFailReason::Validate;
    fObserver->StageBegun(ASteps.fSubject, TUpdateStage::Validate);
    LogMessage(ASteps.fValidating);
    if (ASteps.fEventsBetweenBlocks && ASteps.fLastCheckAfterValidating && !FlashMayGoOn(APort, ASteps))
        return TFlashResult::Failed;
    if (!APort.ValidateFlash()) {
        LogMessage(ASteps.fValidateFailed);
        return TFlashResult::Refused;
    }
    return TFlashResult::Flashed;
}

bool TForm1::FlashMayGoOn(TFlashPort& APort, const TFlashSteps& ASteps) {
    // A close (the window's, or a signal's) ran meanwhile.
    if (ASteps.fInterrupted && CloseRequested()) {
        LogMessage(ASteps.fInterrupted);
        fFailReason = TFailReason::Interrupted;
        return false;
    }
    // The removal handler may have freed the bootloader meanwhile, and another one may have taken
    // its place; neither may receive the rest of this image.
    if (!APort.StillPresent()) {
        for (const char* text : ASteps.fGone)
            LogMessage(text);
        fFailReason = TFailReason::Gone;
        return false;
    }
    return true;
}
