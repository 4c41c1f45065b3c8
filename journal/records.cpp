#include "records.h"

// CRC-32 (the polynomial of zip and PNG), bit by bit: a few instructions a byte, no table.
static DWORD Crc32(const char* text, DWORD length) {
    DWORD crc = 0xFFFFFFFF;
    for (DWORD i = 0; i < length; i++) {
        crc ^= (BYTE)text[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

int PutDecimal(char* out, DWORD number) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = (char)('0' + number % 10);
        number /= 10;
    } while (number != 0);
    for (int i = 0; i < count; i++)
        out[i] = digits[count - 1 - i];
    return count;
}

int PutHex(char* out, DWORD number) {
    static const char digits[] = "0123456789ABCDEF";
    int at = 0;
    for (int shift = 28; shift >= 0; shift -= 4)
        out[at++] = digits[(number >> shift) & 0xF];
    return at;
}

// Writes number at out in decimal; returns the digits written. Without a division, which the
// 32-bit build would take from a library.
static int PutDecimal64(char* out, ULONGLONG number) {
    ULONGLONG power = 1;
    ULONGLONG powers[20];
    for (int place = 0; place < 20; place++, power = (power << 3) + (power << 1))
        powers[place] = power;
    int at = 0;
    for (int place = 19; place >= 0; place--) {
        int digit = 0;
        while (number >= powers[place]) {
            number -= powers[place];
            digit++;
        }
        if (digit != 0 || at != 0 || place == 0)
            out[at++] = (char)('0' + digit);
    }
    return at;
}

// Reads a number of at most 64 bits written as PutDecimal64 writes it, from at up to the space
// that ends it (before end); returns where that space is, or 0.
static DWORD ReadDecimal64(const char* text, DWORD at, DWORD end, ULONGLONG* number) {
    if (at >= end || text[at] < '0' || text[at] > '9' ||
        (text[at] == '0' && at + 1 < end && text[at + 1] != ' '))
        return 0;
    ULONGLONG value = 0;
    for (; at < end && text[at] >= '0' && text[at] <= '9'; at++) {
        DWORD digit = (DWORD)(text[at] - '0');
        if (value > 1844674407370955161ull || (value == 1844674407370955161ull && digit > 5))
            return 0;
        value = (value << 3) + (value << 1) + digit;
    }
    if (at >= end || text[at] != ' ')
        return 0;
    *number = value;
    return at;
}

BOOL KeepsAFile(char kind) {
    return kind == JOURNAL_KEPT || kind == JOURNAL_KEPT_READ_ONLY;
}

int FormatRecord(char* out, char kind, DWORD number, const FILESTAMP* stamp, const char* path) {
    int at = 0;
    out[at++] = kind;
    out[at++] = ' ';
    at += PutDecimal(out + at, number);
    out[at++] = ' ';
    if (stamp != NULL) {
        at += PutDecimal64(out + at, stamp->size);
        out[at++] = ' ';
        at += PutDecimal64(out + at, stamp->written);
        out[at++] = ' ';
    }
    int length = lstrlenA(path);
    CopyMemory(out + at, path, length);
    at += length;
    DWORD crc = Crc32(out, (DWORD)at);
    out[at++] = '\t';
    at += PutHex(out + at, crc);
    out[at++] = '\r';
    out[at++] = '\n';
    return at;
}

// Where the tab of the line at text lies when it is whole and checks out (its CRC-32 matches
// what comes before the tab); 0 otherwise.
static DWORD CheckedTab(const char* text, DWORD length) {
    DWORD tab = 0;
    while (tab < length && text[tab] != '\t' && text[tab] != '\n')
        tab++;
    if (tab < 4 || tab + 11 > length || text[tab] != '\t' || text[tab + 9] != '\r' ||
        text[tab + 10] != '\n')
        return 0;
    DWORD crc = 0;
    for (DWORD i = tab + 1; i < tab + 9; i++) {
        char c = text[i];
        DWORD digit = c >= '0' && c <= '9'   ? (DWORD)(c - '0')
                      : c >= 'A' && c <= 'F' ? (DWORD)(c - 'A' + 10)
                                             : 16;
        if (digit == 16)
            return 0;
        crc = crc << 4 | digit;
    }
    return crc == Crc32(text, tab) ? tab : 0;
}

BOOL ChecksOut(const char* text, DWORD length) {
    return CheckedTab(text, length) != 0;
}

DWORD ParseRecord(const char* text, DWORD length, JOURNALRECORD* record) {
    DWORD tab = CheckedTab(text, length);
    if (tab == 0 || text[1] != ' ')
        return 0;
    DWORD at = 2;
    DWORD number = 0;
    if (text[at] < '0' || text[at] > '9')
        return 0;
    // Written as PutDecimal writes it: no leading zero, and no more than a DWORD holds.
    if (text[at] == '0' && text[at + 1] >= '0' && text[at + 1] <= '9')
        return 0;
    while (at < tab && text[at] >= '0' && text[at] <= '9') {
        DWORD digit = (DWORD)(text[at++] - '0');
        if (number > (0xFFFFFFFF - digit) / 10)
            return 0;
        number = number * 10 + digit;
    }
    if (at >= tab || text[at] != ' ')
        return 0;
    at++;
    record->stamp.size = 0;
    record->stamp.written = 0;
    if (text[0] == JOURNAL_WRITTEN) {
        at = ReadDecimal64(text, at, tab, &record->stamp.size);
        if (at == 0)
            return 0;
        at = ReadDecimal64(text, at + 1, tab, &record->stamp.written);
        if (at == 0)
            return 0;
        at++;
    }
    if (tab - at >= MAX_PATH)
        return 0;
    record->kind = text[0];
    record->number = number;
    CopyMemory(record->path, text + at, tab - at);
    record->path[tab - at] = '\0';
    return tab + 11;
}

DWORD LineBefore(const char* records, DWORD end) {
    DWORD start = end - 1;
    while (start > 0 && records[start - 1] != '\n')
        start--;
    return start;
}
