#include "app/AboutDialog.h"

#include "app/HelpPages.h"
#include "gui/Resources.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QLabel* LinkLine(
    const QString& prefix, const QString& shown, const QString& target, const char* name, QWidget* parent)
{
    auto* label = new QLabel(
        QStringLiteral("%1<a href=\"%2\">%3</a>").arg(prefix.toHtmlEscaped(), target, shown.toHtmlEscaped()),
        parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setOpenExternalLinks(false);
    QObject::connect(label, &QLabel::linkActivated, parent,
        [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
{
    vorn::EnsureResources();
    setObjectName("aboutDialog");
    setWindowTitle("About Vorn FTP Backup");

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(":/icons/vornbackup-64.png").pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);

    auto* version = new QLabel(this);
    version->setObjectName("aboutVersion");
    version->setTextFormat(Qt::PlainText);
    version->setText("Vorn  FTP Backup Version " VORN_VERSION);
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);

    const QString email = QString::fromLatin1(vorn::kSupportEmail);
    const QUrl home(QString::fromLatin1(vorn::kHomePageUrl));
    auto* mail = LinkLine("Email: ", email, "mailto:" + email, "aboutEmail", this);
    auto* web = LinkLine("Web Site: ", home.host(), home.toString(), "aboutWebSite", this);

    auto* text = new QVBoxLayout;
    text->setSpacing(8);
    text->addWidget(version);
    text->addWidget(mail);
    text->addWidget(web);
    text->addStretch(1);

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(icon);
    top->addLayout(text, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 18, 18, 12);
    layout->addLayout(top);
    layout->addWidget(buttons);
    setFixedSize(sizeHint().expandedTo(QSize(360, 0)));
}
