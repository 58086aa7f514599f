#include "sim/SimTestFamily.h"

#include "platform/LittleEndian.h"

#include <algorithm>

TSimTestStub::TSimTestStub(std::shared_ptr<TSimTestState> AState, TUsbDriverKind ADriver)
    : TSimDevice({0x0100, SIM_VENDOR_ID, 0x0200, 0x0100, 64, SIM_SUBCLASS_BOOTLOADER}, ADriver, "stub"),
      fState(std::move(AState)) {
    SetVendorHandler(TEST_REQ_SERIAL, [this](const TSimVendorRequest&, std::vector<uint8_t>& AAnswer) {
        std::lock_guard lock(fState->Mutex);
        AAnswer.assign(fState->Serial, fState->Serial + 8);
        return true;
    });
    SetVendorHandler(TEST_REQ_LEAVE_STUB, [this](const TSimVendorRequest&, std::vector<uint8_t>&) {
        auto state = fState;
        LeaveBusAfterRequest([state] {
            std::shared_ptr<TSimDevice> firmware;
            TSimBus* bus;
            {
                std::lock_guard lock(state->Mutex);
                firmware = state->Firmware.lock();
                bus = state->Bus;
            }
            if (firmware && bus)
                bus->Plug(firmware);
        });
        return true;
    });
}

TSimTestFirmware::TSimTestFirmware(TSimBus& ABus, TUsbDriverKind ADriver, uint16_t AProductId)
    : TSimDevice({AProductId, SIM_VENDOR_ID, 0x0200, 0x0112, 64}, ADriver, "test_fw"),
      fState(std::make_shared<TSimTestState>()) {
    fState->Bus = &ABus;
    // Reads that always answer.
    auto read = [this](uint8_t ARequest, auto AFill) {
        OnRead(ARequest, fState, [AFill](TSimTestState& S, std::vector<uint8_t>& A) {
            AFill(S, A);
            return true;
        });
    };
    read(0x45, [](TSimTestState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.ProtocolMajor);
        AppendLE16(A, S.ProtocolMinor);
    });
    read(0xFE, [](TSimTestState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.StubActual);
        AppendLE16(A, S.StubUpdate);
    });
    read(TEST_REQ_VERSION, [](TSimTestState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.VersionHW);
        AppendLE16(A, S.VersionFW);
    });
    read(TEST_REQ_SERIAL,
         [](TSimTestState& S, std::vector<uint8_t>& A) { A.assign(S.Serial, S.Serial + 8); });
    read(TEST_REQ_LOCKED, [](TSimTestState& S, std::vector<uint8_t>& A) { A = {uint8_t(S.Locked ? 1 : 0)}; });
    SetVendorHandler(TEST_REQ_UNLOCK, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        std::lock_guard lock(fState->Mutex);
        if (AReq.Data.size() != 8 || !std::equal(AReq.Data.begin(), AReq.Data.end(), fState->Key))
            return false;
        fState->Locked = false;
        return true;
    });
    SetVendorHandler(0xFD, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        std::lock_guard lock(fState->Mutex);
        ++fState->StubInfoChecks;
        return AReq.wLength == 0;
    });
    SetVendorHandler(0xFF, [this, ADriver](const TSimVendorRequest&, std::vector<uint8_t>&) {
        // Answer, drop off the bus, come back as the bootloader sharing this device's state.
        auto state = fState;
        LeaveBusAfterRequest([state, ADriver] {
            auto stub = std::make_shared<TSimTestStub>(state, ADriver);
            TSimBus* bus;
            {
                std::lock_guard lock(state->Mutex);
                state->Stub = stub;
                bus = state->Bus;
            }
            bus->Plug(stub);
        });
        return true;
    });
    SetIoControlHandler(TEST_IOCTL_LEVEL,
                        [this](const std::vector<uint8_t>& AIn, uint32_t, std::vector<uint8_t>&) {
                            if (AIn.size() != 2)
                                return ERROR_INVALID_PARAMETER;
                            std::lock_guard lock(fState->Mutex);
                            fState->Level = GetLE16(AIn.data());
                            return ERROR_SUCCESS;
                        });
}

std::shared_ptr<TSimTestFirmware> PlugTestFirmware(TSimBus& ABus, TUsbDriverKind ADriver) {
    auto device = std::make_shared<TSimTestFirmware>(ABus, ADriver);
    device->fState->Firmware = device;
    ABus.Plug(device);
    return device;
}
