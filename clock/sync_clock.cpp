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

// Replacing the backup takes three steps: the new bytes go to a file beside
// it (written and flushed), the old file is deleted, and the new one is
// renamed into its place; the device's MoveFile never replaces a file, hence
// the delete. A power cut between the last two leaves only the file beside
// it, which RestoreBackupTime moves into place at the next start. The file
// beside it is made anew, exclusively: whatever stands in its place (a
// crash's leftover, a planted link) is removed, never written through.
// Best effort: a missing folder writes nothing.
static void WriteBackupTime(const SYSTEMTIME* utc) {
    BYTE bytes[BACKUP_TIME_BYTES];
    SystemTimeBytes(utc, bytes);
    // The file beside the backup may be the only copy of the last time.
    RestoreBackupTime();
    DeleteFile(BACKUP_TIME_NEW_FILE);
    HANDLE file = CreateFile(BACKUP_TIME_NEW_FILE, GENERIC_WRITE, 0, 0, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes, BACKUP_TIME_BYTES, &written, 0) && written == BACKUP_TIME_BYTES;
    ok = FlushFileBuffers(file) && ok;
    CloseHandle(file);
    if (!ok) {
        DeleteFile(BACKUP_TIME_NEW_FILE);
        return;
    }
    DeleteFile(BACKUP_TIME_FILE);
    // Should the rename fail, the new bytes stay beside the backup for the
    // next start or synchronisation to move.
    MoveFile(BACKUP_TIME_NEW_FILE, BACKUP_TIME_FILE);
}

int RestoreBackupTime(void) {
    HANDLE file = CreateFile(BACKUP_TIME_NEW_FILE, GENERIC_READ, 0, 0, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BYTE bytes[BACKUP_TIME_BYTES + 1];
    DWORD got = 0;
    BOOL whole = ReadFile(file, bytes, sizeof(bytes), &got, 0) && got == BACKUP_TIME_BYTES;
    CloseHandle(file);
    // A short file was cut while being written, before the backup was
    // touched. A whole one is moved only where the backup is gone: MoveFile
    // fails on an existing backup, which is then the last whole copy.
    if (!whole) {
        DeleteFile(BACKUP_TIME_NEW_FILE);
        return 0;
    }
    return MoveFile(BACKUP_TIME_NEW_FILE, BACKUP_TIME_FILE) ? 1 : 0;
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
    // The first-fix record is written once in the device's life and never
    // corrected, so only a valid fix may write it: after a cold start some
    // receivers send void sentences dated with a default day (050180 reads
    // as 2080).
    if (status == 'A') CheckNandRecord();
    DebugLog(LOG_GREEN, L"Local Time -- [%d.%d.%d] %d:%d:%d",
             (int)r->m_stTime.wYear, (int)r->m_stTime.wMonth, (int)r->m_stTime.wDay,
             (int)r->m_stTime.wHour, (int)r->m_stTime.wMinute, (int)r->m_stTime.wSecond);
}
