#include "nand_record.h"

static const WCHAR NAND_READ_FILE[] = L"\\NandArea_ReadData.bin";
static const WCHAR NAND_WRITE_FILE[] = L"\\NandArea_WriteData.bin";
static const BYTE NAND_RECORD_TAIL_0 = 0xE4;
static const BYTE NAND_RECORD_TAIL_1 = 0x54;

static DWORD RecordMagic(const BYTE* r) {
    return (DWORD)r[0] | ((DWORD)r[1] << 8) | ((DWORD)r[2] << 16) | ((DWORD)r[3] << 24);
}

void BuildNandRecord(const SYSTEMTIME* t, BYTE out[NAND_RECORD_BYTES]) {
    out[0] = (BYTE)(NAND_RECORD_MAGIC & 0xFF);
    out[1] = (BYTE)((NAND_RECORD_MAGIC >> 8) & 0xFF);
    out[2] = (BYTE)((NAND_RECORD_MAGIC >> 16) & 0xFF);
    out[3] = (BYTE)((NAND_RECORD_MAGIC >> 24) & 0xFF);
    out[4] = (BYTE)(t->wYear & 0xFF);
    out[5] = (BYTE)(t->wYear >> 8);
    out[6] = (BYTE)t->wMonth;
    out[7] = (BYTE)t->wDay;
    out[8] = (BYTE)t->wHour;
    out[9] = (BYTE)t->wMinute;
    out[10] = NAND_RECORD_TAIL_0;
    out[11] = NAND_RECORD_TAIL_1;
}

void CheckNandRecord(void) {
    ReadNandArea(NAND_AREA);
    Sleep(NAND_WAIT_MS);
    HANDLE file = CreateFile(NAND_READ_FILE, GENERIC_READ, 0, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file != INVALID_HANDLE_VALUE) {
        BYTE r[NAND_RECORD_BYTES];
        memset(r, 0, sizeof(r));
        DWORD got = 0;
        ReadFile(file, r, NAND_RECORD_BYTES, &got, 0);
        NKDbgPrintfW(L"- Read  : %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d\r\n",
                     (int)(r[4] | (r[5] << 8)), (int)r[6], (int)r[7], (int)r[8], (int)r[9],
                     (int)(LONG)RecordMagic(r));
        CloseHandle(file);
        if (RecordMagic(r) == NAND_RECORD_MAGIC) return;
    }
    WriteNandRecord();
}

void WriteNandRecord(void) {
    HANDLE file = CreateFile(NAND_WRITE_FILE, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    BYTE r[NAND_RECORD_BYTES];
    BuildNandRecord(&now, r);
    NKDbgPrintfW(L"- Write  : %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d\r\n",
                 (int)now.wYear, (int)now.wMonth, (int)now.wDay, (int)now.wHour, (int)now.wMinute,
                 (int)(LONG)NAND_RECORD_MAGIC);
    DWORD written = 0;
    WriteFile(file, r, NAND_RECORD_BYTES, &written, 0);
    CloseHandle(file);
    WriteNandArea(NAND_AREA);
    Sleep(NAND_WAIT_MS);
    DeleteFile(NAND_WRITE_FILE);
}
