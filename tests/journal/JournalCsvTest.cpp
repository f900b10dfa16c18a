// The journal's CSV rows: a field a spreadsheet would take for a formula, whichever of the six
// leading characters it starts with and wherever it stands (a card number, a message, a line the
// journal does not recognise), is kept as text.

#include "journal/JournalCsv.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct CsvCase {
    std::string name;
    std::string line;
    std::string row;
};
void PrintTo(const CsvCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalCsv : public ::testing::TestWithParam<CsvCase> {};

TEST_P(JournalCsv, KeepsFormulaStartsAsText) {
    const QByteArray row = JournalCsvRow(GetParam().line);
    EXPECT_EQ(row.toStdString(), GetParam().row);
}

// Leading characters that make a spreadsheet read a cell as a formula.
const char kStarts[] = {'=', '+', '-', '@', '\t', '\r'};

std::vector<CsvCase> Cases() {
    std::vector<CsvCase> cases;
    const std::string error = QStringLiteral("Ошибка").toStdString();
    const std::string unknown = QStringLiteral("Не распознано").toStdString();
    for (const char c : kStarts) {
        const std::string s(1, c);
        const std::string label = c == '\t' ? "Tab" : c == '\r' ? "Cr" : std::to_string(int(c));
        // A CR in a field also quotes it.
        const auto quoted = [&](const std::string& f) {
            return c == '\r' ? "\"'" + f + "\"" : "'" + f;
        };
        cases.push_back({"Message" + label, "10:00:01: #AA ERROR: " + s + "SUM(A1)",
                         "10:00:01;#AA;" + error + ";" + quoted(s + "SUM(A1)") + "\r\n"});
        // The card number is written with its "#" first: that alone keeps it text (a CR in it is
        // quoted as in any field).
        cases.push_back(
            {"CardNumber" + label, "10:00:02: #" + s + "1 ERROR: x",
             "10:00:02;" + (c == '\r' ? "\"#\r1\"" : "#" + s + "1") + ";" + error + ";x\r\n"});
        cases.push_back({"Unrecognised" + label, s + "cmd|' /C calc'!A0",
                         ";;" + unknown + ";" + quoted(s + "cmd|' /C calc'!A0") + "\r\n"});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Fields, JournalCsv, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::to_string(info.index); });

} // namespace
