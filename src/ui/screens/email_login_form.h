#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtQml/qqmlregistration.h>

namespace qor {

class AppState;
class EmailLoginService;

// The state of the e-mail sign-in sheet: the step, the typed address and code, the
// running request and its error text. A new sheet creates a new form, so each
// starts on the first step with empty values.
class EmailLoginForm : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(Step step READ step NOTIFY changed)
    Q_PROPERTY(QString email READ email WRITE setEmail NOTIFY changed)
    Q_PROPERTY(QString code READ code WRITE setCode NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)
    Q_PROPERTY(bool canRequestCode READ canRequestCode NOTIFY changed)
    Q_PROPERTY(bool canVerifyCode READ canVerifyCode NOTIFY changed)

public:
    enum class Step { EnterEmail, EnterCode };
    Q_ENUM(Step)

    explicit EmailLoginForm(QObject *parent = nullptr);

    // The service every form uses (not owned).
    static void provideService(EmailLoginService *service);

    Step step() const { return m_step; }
    QString email() const { return m_email; }
    void setEmail(const QString &value);
    QString code() const { return m_code; }
    void setCode(const QString &value);
    bool busy() const { return m_busy; }
    QString errorText() const { return m_errorText; }
    bool canRequestCode() const;
    bool canVerifyCode() const;

    // "Получить код" and "Отправить код ещё раз".
    Q_INVOKABLE void requestCode();
    // "Войти": a confirmed code is applied as a login result, then `finished`.
    Q_INVOKABLE void verifyCode();
    // "изменить": back to the address, which stays; the code and the error go.
    Q_INVOKABLE void changeAddress();

Q_SIGNALS:
    void changed();
    // The code was accepted and the login result applied: the sheet closes.
    void finished();

private:
    static QCoro::Task<> runRequest(QPointer<EmailLoginForm> self, QPointer<EmailLoginService> login, QString email);
    static QCoro::Task<> runVerify(QPointer<EmailLoginForm> self, QPointer<EmailLoginService> login,
                                   QPointer<AppState> app, QString email, QString code);
    void setBusy(bool busy, const QString &errorText);

    Step m_step = Step::EnterEmail;
    QString m_email;
    QString m_code;
    bool m_busy = false;
    QString m_errorText;
};

} // namespace qor
