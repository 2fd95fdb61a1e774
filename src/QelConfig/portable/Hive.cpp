// File: Hive.cpp
//
// One hive's file, connection and caches put together (Hive.h): the file is examined when the
// Hive is made and when it was missing or unreadable, a connection is opened at first use and
// replaced when it was inherited through fork() or opened read-only by a switch since turned
// off, and the caches go with the connection they were read through. How a hive is opened, and
// why: HiveConnection.cpp.
#include "portable/Hive.h"

#include <utility>

namespace qelplatform {

Hive::Hive(HiveKind kind, std::string path) : m_hiveFile(kind, std::move(path)) { Examine(); }

Hive::~Hive() { CloseConnection(); }

void Hive::Examine() {
    CloseConnection();
    m_hiveFile.Examine();
}

void Hive::CloseConnection() {
    ForgetCaches();
    m_commits.Detach();
    if (!m_conn) return;
    m_conn->Close(Status() == HiveStatus::Damaged);
    m_conn.reset();
}

LSTATUS Hive::UseConnection(bool forWrite) {
    if (m_conn && m_conn->Inherited()) CloseConnection();
    // A connection opened read-only because of the switch is replaced once the switch is off;
    // closing a read-only connection never writes the file.
    if (m_conn && forWrite && m_conn->ReadOnlyBySwitch() && !ReadOnlyBySwitch(Kind(), ProcessEnv) &&
        m_hiveFile.Writable())
        CloseConnection();
    if (m_conn) return ERROR_SUCCESS;

    const bool bySwitch = ReadOnlyBySwitch(Kind(), ProcessEnv);
    const HiveConnection::Setup setup{!bySwitch && m_hiveFile.Writable(), bySwitch,
                                      m_leaveFilesAsFound};
    // Looked for again right before SQLite opens the file, which would replay a journal.
    if (TrustVerdict journal = CheckNoJournal(File()); !journal.Trusted()) {
        m_hiveFile.MarkInsecure(std::move(journal));
        return ERROR_ACCESS_DENIED;
    }
    auto conn = std::make_unique<HiveConnection>(kStatementCount);
    int rc = conn->Open(File(), setup);
    if (rc != SQLITE_OK) return MapSqlite(rc);
    // The checked file must still be the one at the path.
    if (!m_hiveFile.AtPath()) return ERROR_REGISTRY_IO_FAILED;
    bool wal = false;
    if ((rc = conn->Configure(setup, &wal)) != SQLITE_OK) return MapSqlite(rc);
    ForgetCaches();
    if (wal) m_commits.Attach(conn->Db());
    m_conn = std::move(conn);
    return ERROR_SUCCESS;
}

bool Hive::Readable() {
    return Status() == HiveStatus::Open && UseConnection(false) == ERROR_SUCCESS;
}

LSTATUS Hive::Fail(int rc) {
    // Found damaged while in use: stop reading and writing it. The connection stays until the
    // caller's statements and transaction are unwound, and is then set aside, never closed (a
    // writer's last close would checkpoint into the damaged file).
    if (IsDamage(rc)) m_hiveFile.MarkDamaged();
    return MapSqlite(rc);
}

LSTATUS Hive::BeginWrite() {
    if (ReadOnlyBySwitch(Kind(), ProcessEnv)) return ERROR_ACCESS_DENIED;
    if (Status() == HiveStatus::Missing) {
        if (LSTATUS created = m_hiveFile.Create(); created != ERROR_SUCCESS) return created;
        Examine();
    }
    if (LSTATUS status = m_hiveFile.StatusError(ERROR_CANTWRITE); status != ERROR_SUCCESS)
        return status;
    if (LSTATUS status = UseConnection(true); status != ERROR_SUCCESS) return status;
    return m_conn->ReadOnly() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

}  // namespace qelplatform
