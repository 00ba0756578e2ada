#include "sync_clock.h"

#include "../app/debug_log.h"
#include "../ubx/ubx_commands.h"
#include "../ubx/ubx_sink.h"
#include "nand_record.h"

static const WCHAR BACKUP_TIME_FILE[] = L"\\DataStorage\\BackupTime";
static const WCHAR BACKUP_TIME_NEW_FILE[] = L"\\DataStorage\\BackupTime.new";

void SystemTimeBytes(const SYSTEMTIME* st, BYTE out[BACKUP_TIME_BYTES]) {
    const WORD fields[8] = {st->wYear, st->wMonth, st->wDayOfWeek, st->wDay,
                            st->wHour, st->wMinute, st->wSecond, st->wMilliseconds};
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = (BYTE)(fields[i] & 0xFF);
        out[2 * i + 1] = (BYTE)(fields[i] >> 8);
    }
}

// The backup file is replaced in one step: written beside it, then renamed
// over it, so that after a power cut it holds either the previous 16 bytes
// or the new ones. The file beside it is made anew, exclusively: whatever
// stands in its place (a crash's leftover, a planted link) is removed, never
// written through. Best effort: a missing folder writes nothing.
static void WriteBackupTime(const SYSTEMTIME* utc) {
    BYTE bytes[BACKUP_TIME_BYTES];
    SystemTimeBytes(utc, bytes);
    DeleteFile(BACKUP_TIME_NEW_FILE);
    HANDLE file = CreateFile(BACKUP_TIME_NEW_FILE, GENERIC_WRITE, 0, 0, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes, BACKUP_TIME_BYTES, &written, 0) && written == BACKUP_TIME_BYTES;
    ok = FlushFileBuffers(file) && ok;
    CloseHandle(file);
    if (!ok || !MoveFileEx(BACKUP_TIME_NEW_FILE, BACKUP_TIME_FILE, MOVEFILE_REPLACE_EXISTING))
        DeleteFile(BACKUP_TIME_NEW_FILE);
}

void SyncClock(NmeaRecord* r, char status) {
    if (status == 'V' && r->m_bTimeSet == 1) return;
    r->m_bTimeSet = 1;
    if (status == 'A') {
        if (r->m_bFixTimeSet == 1) return;
        r->m_bFixTimeSet = 1;
    }

    DebugLog(LOG_GREEN, L"RMC Date Field [ %c ] [%d]-[%d] -- [%d.%d.%d] %d:%d:%d",
             (int)(unsigned char)r->m_cStatus, (int)r->m_bTimeSet, (int)r->m_bFixTimeSet,
             (int)r->m_nYear, (int)r->m_nMonth, (int)r->m_nDay,
             (int)r->m_nHour, (int)r->m_nMinute, (int)r->m_nSecond);

    memset(&r->m_stTime, 0, sizeof(r->m_stTime));
    r->m_stTime.wYear = r->m_nYear;
    r->m_stTime.wMonth = r->m_nMonth;
    r->m_stTime.wDay = r->m_nDay;
    r->m_stTime.wHour = r->m_nHour;
    r->m_stTime.wMinute = r->m_nMinute;
    r->m_stTime.wSecond = r->m_nSecond;
    // A date the platform refuses leaves the clock alone; the rest goes on.
    SetSystemTime(&r->m_stTime);
    WriteBackupTime(&r->m_stTime);

    memset(&r->m_stTime, 0, sizeof(r->m_stTime));
    GetLocalTime(&r->m_stTime);
    if (UbxState.m_bVersionChecked == 0) PollVersion(&UbxState);
    CheckNandRecord();
    DebugLog(LOG_GREEN, L"Local Time -- [%d.%d.%d] %d:%d:%d",
             (int)r->m_stTime.wYear, (int)r->m_stTime.wMonth, (int)r->m_stTime.wDay,
             (int)r->m_stTime.wHour, (int)r->m_stTime.wMinute, (int)r->m_stTime.wSecond);
}
