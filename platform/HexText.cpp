#include "platform/HexText.h"

int HexDigitValue(char AChar) {
    if (AChar >= '0' && AChar <= '9')
        return AChar - '0';
    if (AChar >= 'a' && AChar <= 'f')
        return AChar - 'a' + 10;
    if (AChar >= 'A' && AChar <= 'F')
        return AChar - 'A' + 10;
    return -1;
}
