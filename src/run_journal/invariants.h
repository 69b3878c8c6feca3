// The rules the run journals and the ledgers keep, numbered, in one place. Every other comment in
// this folder says how a rule is kept; this one says what the rules are, so that a change can be
// checked against all of them. A test that proves a rule names it ("proves J3").
//
// The run journal: a run writes down each change before it makes it, so that whoever comes after
// a run that was killed can finish it as the run would have.
//
// J1  A change's line is in the run's journal, and on disk, before the change is written. The
//     other lines (the header, "dropped", "started") are only written: losing one costs nothing
//     but caution. (run_journal.*, undo_log.*)
// J2  A journal names one run for good: its file name is its process's id and creation time,
//     which no other process shares, and its second line says the same. A journal whose name and
//     text name different runs is not read. (journal_store.*, process_identity.*)
// J3  A last line without its line feed announced a change whose write never began: it is left
//     out. "dropped" withdraws the change announced before it (its write failed). Any other line
//     out of form makes the whole journal unreadable. (journal_text.*)
// J4  A run's changes are undone last first, its own end and its recovery alike: a later edit of
//     an object recorded what the earlier one left, so only that order ends at what stood before.
//     (undo_log.*, recovery.*)
// J5  "started" is written just before the command starts. After it a kill keeps the grants and
//     recovery takes back only the denies; before it, both, as the run itself would have.
//     (run_journal.*, recovery.*)
// J6  Nothing the sandbox could have written is read: the journal folder is the user's alone
//     (journal_folder.*), and a journal is read only as a regular file of at most
//     kMaxJournalBytes judged as the folder is, naming an AppContainer SID. A run whose journal
//     could pass that bound is refused before it changes anything. (journal_store.*)
// J7  A journal that cannot be trusted or read is renamed aside (".unreadable"), never removed
//     unread and never recovered. (recovery.*)
// J8  A live run's journal is never touched; a journal whose run cannot be told gone counts as
//     live. Liveness is decided once per reading of the journals (other_runs.*), and the undo
//     and recovery look at the same reading. (other_runs.*, recovery.*)
// J9  Another run sees a journal whole, or gone with its undo done: a run's undo and the removal
//     of its journal, and a recovery's, happen under the DACL edit lock. (undo_log.*, recovery.*)
// J10 A journal problem never fails a run: it is warned about once and the run goes on without
//     its journal, as without journals at all. (run_journal.*)
//
// The ledger: every lasting entry the program placed and has not taken back, so that a cleanup
// can take each one back.
//
// L1  A lasting entry is recorded before its write, and its record goes only after the entry is
//     taken back: an entry is never on the machine without its record. A grant its run took
//     back (its command never ran) leaves the ledger. (run_placements.*, standing_denies.*)
// L2  One record per SID, object and kind: recording a place that is recorded at the same level
//     writes nothing; at another level the record is replaced and counts as placed last.
//     (ledger.*, ledger_text.*)
// L3  A ledger changes only as a whole: read, changed and written as a new file, flushed and
//     renamed into place through its held folder, under the DACL edit lock; a reader sees the
//     old ledger or the new one, never half of one, and no writer's record is lost. (ledger.*)
// L4  A last line without its line feed was being written when its writer died: it is left out.
//     Any other line that is not a record makes the ledger unreadable; an unreadable ledger, or
//     one past kMaxLedgerBytes, is renamed aside, never deleted unread. (ledger_text.*, ledger.*)
// L5  A ledger is read only from a folder and as a file that no one but its owners can change.
//     (ledger.*)
// L6  A ledger holding a standing deny is version 2; every other one is still written as version
//     1, which earlier releases read. (ledger_text.*)
// L7  A ledger problem never fails a run or a registration: it is warned about once and the rest
//     goes on without recording. (run_placements.*)
//
// Nothing to include: this file holds no declarations.
#pragma once
