#include "editor/SettingsDialog.h"

#include "gui/Prompt.h"
#include "notify/Alert.h"
#include "store/ProjectDb.h"
#include "store/Secrets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QLineEdit* Field(QWidget* parent, const char* name)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    return field;
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

CSettingsDialog::CSettingsDialog(vorn::ProjectDb* db, QWidget* parent)
    : QDialog(parent)
    , db_(db)
{
    setObjectName("settingsDialog");
    setWindowTitle("Settings");
    host_ = Field(this, "smtpHost");
    port_ = new QSpinBox(this);
    port_->setObjectName("smtpPort");
    port_->setRange(1, 65535);
    tls_ = new QComboBox(this);
    tls_->setObjectName("smtpTls");
    for (const auto tls : { vorn::SmtpTls::StartTls, vorn::SmtpTls::Implicit, vorn::SmtpTls::None })
        tls_->addItem(Text(std::string(vorn::SmtpTlsText(tls))));
    user_ = Field(this, "smtpUser");
    password_ = Field(this, "smtpPassword");
    password_->setEchoMode(QLineEdit::Password);
    from_ = Field(this, "mailFrom");
    to_ = Field(this, "mailTo");
    to_->setPlaceholderText("a@example.org, b@example.org");
    hook_ = Field(this, "hookUrl");
    hook_->setPlaceholderText("https://example.org/ping/{event}");
    keyring_ = new QCheckBox("Keep passwords in the desktop's keyring", this);
    keyring_->setObjectName("keyring");
    auto* keyringNote = new QLabel("The FTP, archive and mail passwords then leave the database: other "
                                   "programs that read it see no passwords.",
        this);
    keyringNote->setWordWrap(true);
    if (vorn::ProgramSecretStore() == nullptr) {
        keyring_->setEnabled(false);
        keyringNote->setText("This program has no keyring.");
    }

    auto* form = new QFormLayout;
    form->addRow("Mail server:", host_);
    form->addRow("Port:", port_);
    form->addRow("TLS:", tls_);
    form->addRow("User:", user_);
    form->addRow("Password:", password_);
    form->addRow("From:", from_);
    form->addRow("Send alerts to:", to_);
    form->addRow("Web hook URL:", hook_);
    test_ = new QPushButton("Send Test Alert", this);
    test_->setObjectName("buttonTestAlert");
    testResult_ = new QLabel(this);
    testResult_->setObjectName("testResult");
    testResult_->setTextFormat(Qt::PlainText); // server texts are data
    testResult_->setWordWrap(true);
    connect(test_, &QPushButton::clicked, this, &CSettingsDialog::SendTestAlert);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CSettingsDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(keyring_);
    layout->addWidget(keyringNote);
    layout->addWidget(test_);
    layout->addWidget(testResult_);
    layout->addWidget(buttons);
    setMinimumWidth(480); // room for a URL and a few addresses

    auto loaded = vorn::LoadSettingsWithSecrets(db_);
    if (!loaded) {
        testResult_->setText(Text(loaded.message()));
        loaded = vorn::LoadSettings(db_);
    }
    if (loaded)
        stored_ = *loaded;
    Show(stored_);
}

void CSettingsDialog::Show(const vorn::DatabaseSettings& settings)
{
    host_->setText(Text(settings.smtpHost));
    port_->setValue(settings.smtpPort);
    tls_->setCurrentIndex(static_cast<int>(settings.smtpTls));
    user_->setText(Text(settings.smtpUser));
    password_->setText(Text(settings.smtpPassword));
    from_->setText(Text(settings.mailFrom));
    to_->setText(Text(settings.mailTo));
    hook_->setText(Text(settings.hookUrl));
    keyring_->setChecked(settings.keyring);
}

vorn::DatabaseSettings CSettingsDialog::shownSettings() const
{
    vorn::DatabaseSettings settings;
    // Line breaks cannot be typed into a line edit; pasted ones are dropped by the mail code.
    settings.smtpHost = host_->text().trimmed().toStdString();
    settings.smtpPort = port_->value();
    settings.smtpTls = static_cast<vorn::SmtpTls>(tls_->currentIndex());
    settings.smtpUser = user_->text().toStdString();
    settings.smtpPassword = password_->text().toStdString();
    settings.mailFrom = from_->text().trimmed().toStdString();
    settings.mailTo = to_->text().toStdString();
    settings.hookUrl = hook_->text().trimmed().toStdString();
    settings.keyring = keyring_->isChecked();
    return settings;
}

bool CSettingsDialog::Store()
{
    const vorn::DatabaseSettings settings = shownSettings();
    vorn::Status saved = vorn::SaveSettingsWithSecrets(db_, settings);
    if (saved && settings.keyring != stored_.keyring) {
        vorn::SecretStore* store = vorn::ProgramSecretStore();
        if (store == nullptr)
            saved = vorn::MakeError(vorn::ErrorKind::Failed, "The keyring cannot be reached");
        else
            saved = settings.keyring ? vorn::MoveSecretsToKeyring(db_, *store)
                                     : vorn::MoveSecretsFromKeyring(db_, *store);
    }
    if (!saved) {
        Prompt::Warning("The settings could not be stored: " + Text(saved.message()), "Settings", this);
        return false;
    }
    stored_ = settings;
    return true;
}

void CSettingsDialog::accept()
{
    if (Store())
        QDialog::accept();
}

void CSettingsDialog::SendTestAlert()
{
    const vorn::DatabaseSettings settings = shownSettings();
    const vorn::DeliveryPolicy policy = vorn::ProgramDeliveryPolicy();
    test_->setEnabled(false);
    testResult_->setText("Sending...");
    jobs_.Start([this, settings, policy](vorn::OffThreadJobs::Job&) -> vorn::OffThreadJobs::Continuation {
        QString lines;
        for (const vorn::DeliveryOutcome& outcome : vorn::SendTestAlert(settings, policy))
            lines += Text(outcome.channel) + ": "
                + (outcome.status ? QString("sent") : "not sent: " + Text(outcome.status.message())) + "\n";
        return [this, lines] {
            testResult_->setText(lines.trimmed());
            test_->setEnabled(true);
        };
    });
}
