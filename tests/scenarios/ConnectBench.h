#pragma once
// What the device-connection and update suites share: a main window over the simulated bench whose
// downloads go to a local server, devices plugged as described on the command line, the log
// transcript and the device's settings file.
#include "MyLib/CommonKelvoUsbDevice.h"
#include "app/simbench/SimBench.h"
#include "platform/IniFile.h"
#include "sim/SimDevice.h"
#include "tests/scenarios/FormHarness.h"
#include "tests/threads/TestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

inline constexpr TSerialNum Serial1 = {1, 2, 3, 4, 5, 6, 7, 8};
inline constexpr const char* Serial1Text = "serial=1-2-3-4-5-6-7-8";
inline const std::string Offer = "Newer firmware found. To update click \"Update\" button";
inline const std::string UpToDate = "Firmware is up to date.";

inline std::string Lines(std::initializer_list<std::string> ALines) {
    std::string text;
    for (const std::string& line : ALines)
        text += line + "\n";
    return text;
}

// The identification lines of a device with serial number Serial1.
inline std::string Identity(const std::string& AModel, const std::string& APid, const std::string& AHw,
                            const std::string& AFw) {
    return Lines({AModel, "Serial number: " + SerialToStr(Serial1), "Product id is: 0x" + APid,
                  "Hardware version 0x" + AHw, "Firmware version 0x" + AFw});
}

// A main window over the simulated bench whose downloads go to a local server that has no images
// unless a test publishes one.
struct TConnectBench {
    TTestHttpServer fServer;
    TFormBench fBench;
    TForm1& fForm = fBench.fForm;
    std::vector<std::shared_ptr<TSimBusDevice>> fDevices;
    std::optional<TEnvOverride> fDataHome;
    std::string fUserFolder;

    // ADataHome: the user data folder base to use instead of the bench's own scratch folder, so a
    // later bench can be the same program started again on the same settings.
    explicit TConnectBench(const std::string& ADataHome = "") {
        if (!ADataHome.empty())
            fDataHome.emplace("XDG_DATA_HOME", ADataHome);
        fUserFolder = (ADataHome.empty() ? fBench.fData.Path() : ADataHome) + "/KelvoFwUpd";
        fForm.fFirmwareServer = fServer.Url("/downloads/fw/");
    }
    ~TConnectBench() { fForm.FormClose(); }

    void Settle() {
        EXPECT_TRUE(fBench.fLoop.RunUntil([&] { return !fBench.fBus.HasPendingReports(); }, 5000));
        fBench.fLoop.ProcessMessages();
    }
    // A device described as on the command line, not yet plugged.
    std::shared_ptr<TSimDevice> Make(const std::string& AText) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_TRUE(ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error)) << error;
        auto device =
            std::dynamic_pointer_cast<TSimDevice>(CreateSimDevice(options, TSimKinds::BuiltIn(), 0));
        fDevices.push_back(device);
        return device;
    }
    // Plugs the device and lets the window handle its arrival.
    std::shared_ptr<TSimDevice> Plug(const std::shared_ptr<TSimDevice>& ADevice) {
        fBench.fBus.Plug(ADevice);
        Settle();
        return ADevice;
    }
    std::shared_ptr<TSimDevice> Plug(const std::string& AText) { return Plug(Make(AText)); }
    void Unplug(const std::shared_ptr<TSimDevice>& ADevice) {
        fBench.fBus.Unplug(*ADevice);
        Settle();
    }
    // Runs the window until nothing is left to do: no timer armed, no write sequence, no device
    // event or delayed plug pending, no queued call.
    bool RunQuiet(uint32_t ATimeoutMs = 60000) {
        auto quiet = [&] {
            return !fForm.Timer1.Enabled() && !fForm.UpdateUnderWay() && !fBench.fBus.HasPendingReports() &&
                   fBench.fLoop.PendingCalls() == 0;
        };
        // Quiet twice in a row with the loop run in between, so a last event's consequences count;
        // an event that arrives in between (a reader's report, a delayed plug) starts it over.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fBench.fLoop.RunUntil(quiet, uint32_t(left.count())))
                return false;
            fBench.fLoop.ProcessMessages();
            if (quiet())
                return true;
        }
    }
    void Start() {
        fForm.FormCreate();
        Settle();
    }
    // Everything logged after the start-up prompt.
    std::string Logged() {
        const std::string text = fBench.fOut.Text();
        const std::string prompt = "Plug in device to update\n";
        return text.rfind(prompt, 0) == 0 ? text.substr(prompt.size()) : text;
    }
    std::vector<std::string> Visible() {
        std::vector<std::string> lines;
        for (int i = 0; i < fForm.ListBox1.Count(); ++i)
            lines.push_back(fForm.ListBox1.Item(i));
        return lines;
    }
    std::string SettingsFile() const { return fUserFolder + "/" + SerialToStr(Serial1) + ".ini"; }
    TIniFile Settings() const { return TIniFile(SettingsFile()); }
    std::string Key(const char* AKey) const { return Settings().ReadString("Device", AKey, "<none>"); }
    // The journal as stored; none when the file holds no step.
    std::optional<TUpdateStep> Step() const {
        const TIniFile settings = Settings();
        if (settings.ReadString("Device", "UpdateStep", "").empty())
            return std::nullopt;
        return TUpdateStep(settings.ReadInteger("Device", "UpdateStep", 0));
    }
    // A settings file as an earlier run left it.
    void Prepare(std::initializer_list<std::pair<std::string, std::string>> AKeys) {
        std::filesystem::create_directories(fUserFolder);
        TIniFile ini = Settings();
        for (const auto& [key, value] : AKeys)
            ini.WriteString("Device", key, value);
    }
};

// Runs the window until it is quiet and every report the controller AHeld() holds has pushed was
// handled: the reports travel through the controller's readers, which the bench's own quiet check
// cannot see.
inline bool RunQuietWithReports(TConnectBench& ABench, const std::function<TCommonKelvoUsbDevice*()>& AHeld,
                                const std::shared_ptr<TSimDevice>& AController) {
    auto handled = [&] {
        TCommonKelvoUsbDevice* held = AHeld();
        // Every read the host keeps outstanding is back at waiting once all it read is handed over.
        std::size_t reads = 1;
        if (held && held->IsWinUsb()) {
            reads = 0;
            for (std::size_t i = 0; i < held->PipeReaderCount(); ++i)
                reads += std::size_t(held->PipeReader(i).RequestCount());
        }
        const bool pending = AController->PendingStreamBytes() != 0 ||
                             AController->PendingPackets(SIM_PIPE_DATA_IN) != 0 ||
                             AController->PendingPackets(SIM_PIPE_EVENT_IN) != 0;
        return !held || !AController->IsAttached() || (!pending && AController->WaitingReads() >= reads);
    };
    for (int round = 0; round < 3; ++round)
        if (!ABench.RunQuiet() || !ABench.fBench.fLoop.RunUntil(handled, 5000))
            return false;
    // A reader re-arms its read a moment after it handed data over: wait for that too.
    return ABench.RunQuiet() && ABench.fBench.fLoop.RunUntil(handled, 5000);
}

inline std::string Optical(const std::string& AExtra = "") {
    return "optical-sensor," + (AExtra.empty() ? "" : AExtra + ",") + Serial1Text;
}
inline const std::string OpticalIdentity =
    Identity("KELVO USB optical sensor LP-01(147)", "0020", "0002", "0009");
