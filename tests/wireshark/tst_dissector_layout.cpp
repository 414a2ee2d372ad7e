// SPDX-License-Identifier: GPL-3.0-or-later
// The dissector's layout table against the codec's frame layout: every
// offset and size the Lua script uses must be the one the tool sends and
// reads by, and the script may use no entry that is not checked here.
#include "codec/frame_layout.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

namespace {

// Each entry of the script's table, and the codec's constant it must equal.
struct Entry {
    const char* name;
    int value;
};
const Entry kEntries[] = {
    {"company_id_offset", frame::kCompanyIdOffset},
    {"company_id_size", frame::kCompanyIdSize},
    {"reserved_offset", frame::kReservedOffset},
    {"reserved_size", frame::kReservedSize},
    {"source_offset", frame::kSourceOffset},
    {"invoke_id_offset", frame::kInvokeIdOffset},
    {"invoke_id_size", frame::kInvokeIdSize},
    {"length_offset", frame::kLengthOffset},
    {"length_size", frame::kLengthSize},
    {"header_pad_offset", frame::kHeaderPadOffset},
    {"checksum_offset", frame::kCheckSumOffset},
    {"header_size", frame::kHeaderSize},
    {"checksum_first", frame::kCheckSumFirst},
    {"checksum_last", frame::kCheckSumLast},
    {"command_offset", frame::kCommandOffset},
    {"data_type_offset", frame::kDataTypeOffset},
    {"body_pad_offset", frame::kBodyPadOffset},
    {"field_pair_size", frame::kFieldPairSize},
    {"var_no_offset", frame::kVarNoOffset},
    {"request_data_offset", frame::kRequestDataOffset},
    {"state_offset", frame::kStateOffset},
    {"code_offset", frame::kCodeOffset},
    {"response_data_offset", frame::kResponseDataOffset},
    {"tcp_port", int(frame::kTcpPort)},
    {"udp_port", int(frame::kUdpPort)},
};

struct LuaLayout {
    QMap<QString, int> entries;
    QString error; // a line that is no plain "name = number,", or no table
};

// The entries of `local layout = { ... }` in the script, one per line.
LuaLayout readLuaLayout(const QString& path)
{
    LuaLayout layout;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        layout.error = "cannot read " + path;
        return layout;
    }
    static const QRegularExpression entry(QStringLiteral("^\\s*([a-z_]+)\\s*=\\s*(\\d+)\\s*,\\s*(--.*)?$"));
    bool inTable = false;
    bool closed = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (!inTable) {
            inTable = line.trimmed() == QStringLiteral("local layout = {");
            continue;
        }
        if (line.trimmed() == QStringLiteral("}")) {
            closed = true;
            break;
        }
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QStringLiteral("--")))
            continue;
        const QRegularExpressionMatch match = entry.match(line);
        if (!match.hasMatch()) {
            layout.error = "not a plain entry: " + line;
            return layout;
        }
        layout.entries.insert(match.captured(1), match.captured(2).toInt());
    }
    if (!closed)
        layout.error = QStringLiteral("no closed \"local layout = {\" table");
    return layout;
}

} // namespace

class TestDissectorLayout : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void entry_data();
    void entry();
    void everyEntryChecked();

private:
    LuaLayout m_lua;
};

void TestDissectorLayout::initTestCase()
{
    m_lua = readLuaLayout(QStringLiteral(VEXA_DISSECTOR_PATH));
    QVERIFY2(m_lua.error.isEmpty(), qPrintable(m_lua.error));
}

void TestDissectorLayout::entry_data()
{
    QTest::addColumn<int>("expected");
    for (const Entry& entry : kEntries)
        QTest::newRow(entry.name) << entry.value;
}

void TestDissectorLayout::entry()
{
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QVERIFY2(m_lua.entries.contains(name), qPrintable("the script's layout has no " + name));
    QTEST(m_lua.entries.value(name), "expected");
}

// An entry added to the script without a row above would go unchecked.
void TestDissectorLayout::everyEntryChecked()
{
    QStringList unchecked;
    for (auto it = m_lua.entries.cbegin(); it != m_lua.entries.cend(); ++it) {
        const auto known = std::find_if(std::begin(kEntries), std::end(kEntries), [&](const Entry& entry) {
            return it.key() == QLatin1String(entry.name);
        });
        if (known == std::end(kEntries))
            unchecked << it.key();
    }
    QVERIFY2(unchecked.isEmpty(), qPrintable("not compared with frame_layout.h: " + unchecked.join(", ")));
}

QTEST_APPLESS_MAIN(TestDissectorLayout)
#include "tst_dissector_layout.moc"
