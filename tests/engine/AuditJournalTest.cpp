// The system journal's entries as the front ends make them: the fields of every kind, the fixed
// message identifiers, the priorities, nothing secret, and one warning when there is no journal.

#include "engine/AuditJournal.h"

#include "support/RecordingAuditJournal.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

namespace {

const UnblockKeyBytes kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                              0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
const std::string kKeyHex = "0123456789ABCDEFFEDCBA9876543210";

PinResetOutcome ResetOutcome(bool ok, bool warning, std::uint16_t sw) {
    PinResetOutcome outcome;
    outcome.ok = ok;
    outcome.warning = warning;
    outcome.step = PinResetStep::Authenticate;
    outcome.statusWord = sw;
    outcome.message = ok ? "" : "Ключ разблокировки не подходит";
    return outcome;
}

TEST(AuditJournal, EntriesOfTheFrontEnds) {
    const std::string kcv = KeyCheckValue(kKey);
    const struct {
        const char* name;
        std::function<void()> record;
        RecordingAuditJournal::Entry expected;
    } cases[] = {
        {"pin reset",
         [] { AuditPinReset("R", "0102", kKey, ResetOutcome(true, false, 0)); },
         {{"ORVANE_EVENT", "pin-reset"},
          {"ORVANE_RESULT", "success"},
          {"MESSAGE_ID", kAuditIdPinReset},
          {"PRIORITY", "6"},
          {"MESSAGE", "ПИН-код смарт-карты #0102 изменён ключом разблокировки"},
          {"ORVANE_READER", "R"},
          {"ORVANE_CARD", "0102"},
          {"ORVANE_UNBLOCK_KCV", kcv}}},
        {"pin reset refused",
         [] { AuditPinReset("R", "0102", kKey, ResetOutcome(false, false, 0x6982)); },
         {{"ORVANE_EVENT", "pin-reset"},
          {"ORVANE_RESULT", "error"},
          {"MESSAGE_ID", kAuditIdPinReset},
          {"PRIORITY", "3"},
          {"MESSAGE", "ПИН-код смарт-карты #0102 не изменён: Ключ разблокировки не подходит"},
          {"ORVANE_READER", "R"},
          {"ORVANE_CARD", "0102"},
          {"ORVANE_STEP", "authenticate"},
          {"ORVANE_SW", "6982"},
          {"ORVANE_UNBLOCK_KCV", kcv}}},
        {"pin reset without a token",
         [] { AuditPinReset("R", "", kKey, ResetOutcome(false, true, 0)); },
         {{"ORVANE_EVENT", "pin-reset"},
          {"ORVANE_RESULT", "warning"},
          {"MESSAGE_ID", kAuditIdPinReset},
          {"PRIORITY", "4"},
          {"MESSAGE", "ПИН-код смарт-карты не изменён: Ключ разблокировки не подходит"},
          {"ORVANE_READER", "R"},
          {"ORVANE_STEP", "authenticate"},
          {"ORVANE_UNBLOCK_KCV", kcv}}},
        {"response",
         [] { AuditResponse(kKey); },
         {{"ORVANE_EVENT", "response"},
          {"ORVANE_RESULT", "success"},
          {"MESSAGE_ID", kAuditIdResponse},
          {"PRIORITY", "6"},
          {"MESSAGE", "Вычислен отклик на вызов смарт-карты (ключ разблокировки KCV " + kcv + ")"},
          {"ORVANE_UNBLOCK_KCV", kcv}}},
        {"key generated",
         [] { AuditKeyGenerated("/k/admin.key", kKey); },
         {{"ORVANE_EVENT", "key-generated"},
          {"ORVANE_RESULT", "success"},
          {"MESSAGE_ID", kAuditIdKeyGenerated},
          {"PRIORITY", "6"},
          {"MESSAGE", "Создан ключ разблокировки KCV " + kcv + ", файл /k/admin.key"},
          {"ORVANE_UNBLOCK_KCV", kcv}}},
        {"key loaded",
         [] { AuditKeyLoaded("/k/admin.key", kKey); },
         {{"ORVANE_EVENT", "key-loaded"},
          {"ORVANE_RESULT", "success"},
          {"MESSAGE_ID", kAuditIdKeyLoaded},
          {"PRIORITY", "6"},
          {"MESSAGE", "Загружен ключ разблокировки KCV " + kcv + ", файл /k/admin.key"},
          {"ORVANE_UNBLOCK_KCV", kcv}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingAuditJournal journal;
        c.record();
        ASSERT_EQ(journal.entries.size(), 1u);
        RecordingAuditJournal::Entry entry = journal.entries[0];
        EXPECT_EQ(entry["ORVANE_USER"], AuditUser());
        entry.erase("ORVANE_USER");
        EXPECT_EQ(entry, c.expected);
        for (const auto& [name, value] : journal.entries[0])
            EXPECT_EQ(value.find(kKeyHex), std::string::npos) << name;
    }
}

TEST(AuditJournal, EveryKindHasItsOwnMessageId) {
    const std::set<std::string> ids = {kAuditIdInit,         kAuditIdPinReset,  kAuditIdResponse,
                                       kAuditIdKeyGenerated, kAuditIdKeyLoaded, kAuditIdRunStarted,
                                       kAuditIdRunEnded};
    EXPECT_EQ(ids.size(), 7u);
    for (const std::string& id : ids) {
        EXPECT_EQ(id.size(), 32u) << id;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    }
}

TEST(AuditJournal, NoJournalIsToldOnceAndNothingElseChanges) {
    RecordingAuditJournal journal;
    journal.refusal = "No such file or directory";
    AuditResponse(kKey);
    AuditKeyLoaded("a.key", kKey);
    AuditResponse(kKey);
    EXPECT_EQ(journal.entries.size(), 0u);
    EXPECT_EQ(journal.warnings,
              std::vector<std::string>{"Системный журнал недоступен (No such file or "
                                       "directory): события аудита в него не записываются"});
}

TEST(AuditJournal, UserIsTheLoginOfTheProcess) {
    EXPECT_FALSE(AuditUser().empty());
}

} // namespace
