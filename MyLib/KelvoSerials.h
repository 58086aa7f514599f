#pragma once
// Serial numbers and device keys of the family's devices, their text forms and validity rules, the
// product id -> device interface class table, and the printable encodings used on bar-code labels.
#include "platform/Guid.h"

#include <array>
#include <cstdint>
#include <string>

// 8 bytes, index 0 first on the wire and in memory. All 0xFF is "no serial".
using TSerialNum = std::array<uint8_t, 8>;
using PSerialNum = TSerialNum*;
// Same layout; all 0xFF is the blank key cached keys start with.
using TDeviceKey = std::array<uint8_t, 8>;
using PDeviceKey = TDeviceKey*;

inline constexpr TSerialNum NoSerialNum = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr TDeviceKey BlankDeviceKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Device interface classes under which the drivers publish the family's devices.
inline constexpr TGUID GUID_KELVO_TARGET_CONTROLLER = {
    0x14EA0900, 0xB960, 0x11D7, {0xAA, 0xEC, 0x00, 0x90, 0xF5, 0x06, 0x79, 0x76}}; // product 2
inline constexpr TGUID GUID_KELVO_TRIGGER = {
    0x22208D80, 0xEAC3, 0x11D7, {0xAA, 0xEC, 0x00, 0x90, 0xF5, 0x06, 0x79, 0x76}}; // product 5
inline constexpr TGUID GUID_KELVO_PULSE = {
    0x448A342C, 0x4663, 0x4C50, {0xAB, 0x76, 0x24, 0xA4, 0x5D, 0xA2, 0x7C, 0x03}}; // products 10, 19
inline constexpr TGUID GUID_KELVO_WIRELESS = {
    0x8E42B302, 0xE8EA, 0x4AFC, {0x99, 0x4F, 0x45, 0xF9, 0xC4, 0xF4, 0xC7, 0x18}}; // products 14, 34
inline constexpr TGUID GUID_KELVO_WIND = {
    0x16E585C9, 0x95BE, 0x42CB, {0x97, 0x53, 0xAF, 0x65, 0x74, 0x75, 0x9C, 0xA5}}; // product 16
inline constexpr TGUID GUID_KELVO_RQTH = {
    0x2F60BE07, 0x4F40, 0x4A1A, {0xA0, 0x3E, 0x2D, 0xDD, 0x80, 0xD0, 0xA4, 0x0A}}; // product 23
inline constexpr TGUID GUID_KELVO_SENSOR = {
    0x7D318304, 0x5D35, 0x11D2, {0x94, 0x20, 0x00, 0x10, 0x5A, 0x07, 0x5F, 0x6B}}; // products 32, 35
inline constexpr TGUID GUID_KELVO_DNXXXE = {
    0xF5A12869, 0xDDF8, 0x41F2, {0x90, 0x21, 0x9B, 0x56, 0xBF, 0xB4, 0xA7, 0x9C}}; // product 48
inline constexpr TGUID GUID_KELVO_QV = {
    0x6DD29847, 0x8B42, 0x4AB4, {0xAB, 0x06, 0x4B, 0x9B, 0xF7, 0x51, 0x33, 0x4C}}; // product 7937
// The USB bootloader of every family device; no product id maps to it.
inline constexpr TGUID GUID_KELVO_USB_STUB = {
    0xF4D2667F, 0x49BB, 0x478D, {0x8B, 0x9D, 0x9D, 0x83, 0xC4, 0xAA, 0x7A, 0x0F}};

// Clears AGuid, then sets the interface class of AProductId when the family has one.
void ProductIdToGuid(uint16_t AProductId, TGUID& AGuid);

// "1-2-3-4-5-6-7-8", or "WD-01-42" style for the wireless-sensor layout.
std::string SerialToStr(const TSerialNum& ASerial);
// Parses the dashed decimal form into a serial number or a device key (fields read leniently,
// missing fields are 0, each field's low 8 bits are kept).
void StrToSerial(const std::string& AText, TSerialNum& AValue);

bool SerialValid(const TSerialNum& ASerial);
bool KeyValid(const TDeviceKey& AKey);
bool SameSerial(const TSerialNum& A, const TSerialNum& B);

// Label encodings: every character lies in 32..95, shared by code-128 sets A and B.
std::string Code128Word(uint16_t AValue);
std::string Code128ByteWord(uint8_t AB, uint16_t AValue);
std::string Code128Serial(const TSerialNum& ASerial);
