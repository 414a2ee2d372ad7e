// SPDX-License-Identifier: GPL-3.0-or-later
// The checks a reply must pass, one damaged field per row.
#include "codec/frame_layout.h"
#include "codec/reply_check.h"
#include "codec/request_defaults.h"
#include "codec/request_encoder.h"
#include "harness/response_frame.h"

#include <QtTest>

#include <functional>

namespace {

QByteArray defaultRequest()
{
    QByteArray request;
    InitHeader(request);
    const auto error = encodeRequest(defaultRequestTexts(), request);
    Q_ASSERT(!error);
    return request;
}

using Damage = std::function<void(QByteArray&)>;

} // namespace

Q_DECLARE_METATYPE(Damage)

class TestReplyCheck : public QObject {
    Q_OBJECT
private slots:
    void checks_data();
    void checks();
    void description();
};

void TestReplyCheck::checks_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("faults");

    QTest::newRow("well-formed reply") << Damage([](QByteArray&) {}) << "ok";
    QTest::newRow("state and Code/No set are no fault") << Damage([](QByteArray& r) {
        r[frame::kStateOffset] = 0x12;
        r[frame::kCodeOffset + 1] = 0x34;
    }) << "ok";
    QTest::newRow("checksum one off")
        << Damage([](QByteArray& r) { r[frame::kCheckSumOffset] = char(r[frame::kCheckSumOffset] + 1); })
        << "checksum";
    QTest::newRow("length field one short") << Damage([](QByteArray& r) {
        r[frame::kLengthOffset] = char(r[frame::kLengthOffset] - 1);
        setResponseChecksum(r);
    }) << "length";
    QTest::newRow("length high byte set") << Damage([](QByteArray& r) {
        r[frame::kLengthHighOffset] = 1;
        setResponseChecksum(r);
    }) << "length";
    QTest::newRow("two bytes more than announced")
        << Damage([](QByteArray& r) { r += "\xE0\xE1"; }) << "length";
    QTest::newRow("company ID differs in its last byte") << Damage([](QByteArray& r) {
        r[frame::kCompanyIdOffset + frame::kCompanyIdSize - 1] = 'X';
        setResponseChecksum(r);
    }) << "company-id";
    QTest::newRow("invoke ID differs") << Damage([](QByteArray& r) {
        r[frame::kInvokeIdOffset + 1] = 1;
        setResponseChecksum(r);
    }) << "invoke-id";
    QTest::newRow("checksum and invoke ID both wrong")
        << Damage([](QByteArray& r) { r[frame::kInvokeIdOffset] = 0x7F; }) << "checksum+invoke-id";
    QTest::newRow("cut to 29 bytes") << Damage([](QByteArray& r) { r.truncate(29); }) << "short+length";
    QTest::newRow("cut inside the header") << Damage([](QByteArray& r) { r.truncate(19); }) << "short";
    QTest::newRow("cut inside the invoke ID") << Damage([](QByteArray& r) { r.truncate(15); }) << "short";
    QTest::newRow("nothing at all") << Damage([](QByteArray& r) { r.clear(); }) << "short";
    QTest::newRow("header only, length zero") << Damage([](QByteArray& r) {
        r.truncate(frame::kHeaderSize);
        r[frame::kLengthOffset] = 0;
        setResponseChecksum(r);
    }) << "short";
}

void TestReplyCheck::checks()
{
    QFETCH(Damage, damage);
    const QByteArray request = defaultRequest();
    QByteArray reply = responseTo(request);
    damage(reply);
    const unsigned faults = checkReply(request, reply);
    QTEST(faultWords(faults), "faults");
    QCOMPARE(describeFaults(request, reply, faults).isEmpty(), faults == 0);
}

void TestReplyCheck::description()
{
    const QByteArray request = defaultRequest();
    QByteArray reply = responseTo(request);
    reply[frame::kInvokeIdOffset + 1] = 0x2A;
    reply[frame::kCompanyIdOffset] = 'Q';
    reply += '\0';
    const unsigned faults = checkReply(request, reply);
    QCOMPARE(describeFaults(request, reply, faults),
             QStringLiteral("header checksum %1, the header sums to %2; length field 20, 21 body bytes came; "
                            "company ID \"QORV-TAMBE\", the request's is \"KORV-TAMBE\"; "
                            "invoke ID 002A, the request's is 0000")
                 .arg(QString::asprintf("%02X", quint8(reply[frame::kCheckSumOffset])),
                      QString::asprintf("%02X", ByteSum(reply, 0, frame::kCheckSumLast))));
}

QTEST_APPLESS_MAIN(TestReplyCheck)
#include "tst_reply_check.moc"
