#pragma once

#include <QString>

#include <exception>

namespace qor {

// A failure with a domain, a code and the text shown to the user (Russian) or a
// diagnostic text. Raised by the operations that can fail (tunnel managers,
// extension activation, the Tavrin client, the connect operation) and carried
// through awaited coroutines as an exception.
class Error : public std::exception {
public:
    Error(QString domain, int code, QString description)
        : m_domain(std::move(domain)), m_code(code), m_description(std::move(description)),
          m_what(m_description.toUtf8()) {}

    const QString &domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    QByteArray m_what;
};

} // namespace qor
