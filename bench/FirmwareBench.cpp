// Throughput of the firmware cipher over one main memory, and the start-up load of the built-in
// collection.
#include "MyLib/KelvoFirmware.h"
#include "sim/DemoKeys.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

TGOSTCrypt DemoCipher() {
    TGOSTCrypt cipher;
    cipher.K = GostKeyFromBytes(DemoKeyBytes.data());
    cipher.SetTable(GostTableFromBytes(DemoTableBytes.data()));
    cipher.SY = {0x01234567, 0x89ABCDEF};
    return cipher;
}

std::vector<uint8_t> MainMemoryBytes() {
    std::vector<uint8_t> bytes(sizeof(TMSP430MainMemory));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 97 + 13);
    return bytes;
}

void BM_Encrypt(benchmark::State& AState) {
    TGOSTCrypt cipher = DemoCipher();
    std::vector<uint8_t> in = MainMemoryBytes(), out(in.size());
    for (auto _ : AState) {
        cipher.Encrypt(in.data(), out.data(), uint32_t(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    AState.SetBytesProcessed(int64_t(AState.iterations()) * int64_t(in.size()));
}

void BM_Decrypt(benchmark::State& AState) {
    TGOSTCrypt cipher = DemoCipher();
    std::vector<uint8_t> in = MainMemoryBytes(), out(in.size());
    for (auto _ : AState) {
        cipher.Decrypt(in.data(), out.data(), uint32_t(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    AState.SetBytesProcessed(int64_t(AState.iterations()) * int64_t(in.size()));
}

void BM_Imito(benchmark::State& AState) {
    TGOSTCrypt cipher = DemoCipher();
    std::vector<uint8_t> in = MainMemoryBytes();
    TGOSTDataBlock code;
    for (auto _ : AState) {
        cipher.Imito(in.data(), uint32_t(in.size()), code);
        benchmark::DoNotOptimize(code);
    }
    AState.SetBytesProcessed(int64_t(AState.iterations()) * int64_t(in.size()));
}

void BM_LoadBuiltinCollection(benchmark::State& AState) {
    for (auto _ : AState) {
        TKelvoUsbFirmwareCollection set(nullptr);
        set.LoadFromResourceName("FWCOLLECTION");
        benchmark::DoNotOptimize(set.Count());
    }
}

} // namespace

BENCHMARK(BM_Encrypt);
BENCHMARK(BM_Decrypt);
BENCHMARK(BM_Imito);
BENCHMARK(BM_LoadBuiltinCollection)->Unit(benchmark::kMillisecond);
