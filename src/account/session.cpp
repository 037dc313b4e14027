#include "session.h"

#include "defaults_store.h"
#include "secret_store.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace qor {

const QString Session::kUsername = QStringLiteral("session.telegramUsername");
const QString Session::kAvatarDataURI = QStringLiteral("session.telegramAvatarDataURI");
const QString Session::kSubscriptionURL = QStringLiteral("session.subscriptionURL");
const QString Session::kAwgConfigsJSON = QStringLiteral("session.awgConfigsJSON");
const QString Session::kXrayConfigsJSON = QStringLiteral("session.xrayConfigsJSON");
const QString Session::kTavrinKey = QStringLiteral("session.tavrinKey");
const QString Session::kSessionToken = QStringLiteral("session.sessionToken");
const QString Session::kCorporateJSON = QStringLiteral("session.corporateJSON");
const QString Session::kCorporateSavedAt = QStringLiteral("session.corporateSavedAt");

namespace {

std::optional<QString> strictUtf8Decode(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Unpaired surrogates have no UTF-8 form.
std::optional<QByteArray> strictUtf8Encode(const QString &text)
{
    QStringEncoder encoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

} // namespace

Session::Session(DefaultsStore &shared, SecretStore &secrets, Clock &clock)
    : m_shared(shared)
    , m_secrets(secrets)
    , m_clock(clock)
{
}

std::optional<Session::Saved> Session::load() const
{
    Saved saved;
    saved.subscriptionURL = m_shared.textValue(kSubscriptionURL);
    if (!saved.subscriptionURL)
        return std::nullopt;
    saved.username = m_shared.textValue(kUsername);
    saved.avatarDataURI = m_shared.textValue(kAvatarDataURI);
    saved.awgConfigsJSON = m_shared.textValue(kAwgConfigsJSON);
    saved.xrayConfigsJSON = m_shared.textValue(kXrayConfigsJSON);
    saved.tavrinKey = m_shared.textValue(kTavrinKey);
    saved.sessionToken = m_shared.textValue(kSessionToken);
    if (const std::optional<QByteArray> bytes = m_secrets.read(kCorporateJSON))
        saved.corporateJSON = strictUtf8Decode(*bytes);
    saved.corporateSavedAt = m_shared.dateValue(kCorporateSavedAt);
    // save() stamps exactly the records it stores, so without a stamp there is nothing to wait for.
    saved.corporatePending = saved.corporateSavedAt && m_secrets.answerPending(kCorporateJSON);
    return saved;
}

void Session::onLateCorporate(std::function<void(const std::optional<QString> &corporateJSON)> receive)
{
    m_secrets.onLateAnswer = [receive = std::move(receive)](const QString &account, const std::optional<QByteArray> &data) {
        if (account == kCorporateJSON)
            receive(data ? strictUtf8Decode(*data) : std::nullopt);
    };
}

void Session::save(const Saved &values)
{
    const auto writeText = [this](const QString &key, const std::optional<QString> &value) {
        if (value)
            m_shared.setText(key, *value);
        else
            m_shared.remove(key);
    };
    writeText(kUsername, values.username);
    writeText(kAvatarDataURI, values.avatarDataURI);
    writeText(kSubscriptionURL, values.subscriptionURL);
    writeText(kAwgConfigsJSON, values.awgConfigsJSON);
    writeText(kXrayConfigsJSON, values.xrayConfigsJSON);
    writeText(kTavrinKey, values.tavrinKey);

    if (values.sessionToken)
        m_shared.setText(kSessionToken, *values.sessionToken);

    const std::optional<QByteArray> corporate = values.corporateJSON ? strictUtf8Encode(*values.corporateJSON)
                                                                     : std::nullopt;
    if (corporate) {
        m_secrets.write(kCorporateJSON, *corporate); // replaces any existing item
        m_shared.setDate(kCorporateSavedAt, m_clock.now());
    } else {
        m_secrets.remove(kCorporateJSON);
        m_shared.remove(kCorporateSavedAt);
    }
}

void Session::clear()
{
    for (const QString &key : {kUsername, kAvatarDataURI, kSubscriptionURL, kAwgConfigsJSON, kXrayConfigsJSON,
                               kTavrinKey, kSessionToken})
        m_shared.remove(key);
    m_secrets.remove(kCorporateJSON);
    m_shared.remove(kCorporateSavedAt);
}

} // namespace qor
