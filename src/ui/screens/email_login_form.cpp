#include "email_login_form.h"

#include "state_types.h"

#include "account/email_login_service.h"
#include "ui/display_rules.h"
#include "ui/sign_in_rules.h"

#include <QCoroTask>

namespace qor {

namespace {
QPointer<EmailLoginService> &service()
{
    static QPointer<EmailLoginService> provided;
    return provided;
}

} // namespace

EmailLoginForm::EmailLoginForm(QObject *parent)
    : QObject(parent)
{
}

void EmailLoginForm::provideService(EmailLoginService *login)
{
    service() = login;
}

void EmailLoginForm::setEmail(const QString &value)
{
    if (m_email == value)
        return;
    m_email = value;
    Q_EMIT changed();
}

void EmailLoginForm::setCode(const QString &value)
{
    if (m_code == value)
        return;
    m_code = value;
    Q_EMIT changed();
}

bool EmailLoginForm::canRequestCode() const
{
    return display::canRequestCode(m_email, m_busy);
}

bool EmailLoginForm::canVerifyCode() const
{
    return display::canVerifyCode(m_code, m_busy);
}

void EmailLoginForm::setBusy(bool busy, const QString &errorText)
{
    m_busy = busy;
    m_errorText = errorText;
    Q_EMIT changed();
}

void EmailLoginForm::requestCode()
{
    if (m_busy || !service())
        return;
    setBusy(true, QString());
    runRequest(this, service(), m_email);
}

QCoro::Task<> EmailLoginForm::runRequest(QPointer<EmailLoginForm> self, QPointer<EmailLoginService> login, QString email)
{
    const RequestCodeResult result = co_await login->requestCode(email);
    // A sheet closed meanwhile is simply not updated.
    if (!self)
        co_return;
    const auto error = display::requestCodeErrorText(result);
    if (!error)
        self->m_step = Step::EnterCode;
    self->setBusy(false, error.value_or(QString()));
}

void EmailLoginForm::verifyCode()
{
    if (m_busy || !service())
        return;
    setBusy(true, QString());
    runVerify(this, service(), AppStateForeign::provided(), m_email, m_code);
}

QCoro::Task<> EmailLoginForm::runVerify(QPointer<EmailLoginForm> self, QPointer<EmailLoginService> login,
                                        QPointer<AppState> app, QString email, QString code)
{
    const VerifyCodeResult result = co_await login->verifyCode(email, code);
    // A confirmed code signs in even when the sheet was closed meanwhile.
    if (result.kind == VerifyCodeResult::Kind::Ok && result.login && app)
        app->applyLoginResult(*result.login);
    if (!self)
        co_return;
    self->setBusy(false, display::verifyCodeErrorText(result.kind).value_or(QString()));
    if (result.kind == VerifyCodeResult::Kind::Ok)
        Q_EMIT self->finished();
}

void EmailLoginForm::changeAddress()
{
    m_code.clear();
    m_errorText.clear();
    m_step = Step::EnterEmail;
    Q_EMIT changed();
}

} // namespace qor
