// The Settings command of the window: the dialog over a real database file, its test alert
// sent to a real mail server on 127.0.0.1 (STARTTLS and a login) off the GUI thread.
#include "editor/SettingsDialog.h"

#include "GuiTestSupport.h"
#include "app/MainFrame.h"
#include "app/SettingsCommands.h"
#include "ftpclient/Ftp.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "store/Secrets.h"
#include "store/Settings.h"
#include "support/AlertServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace vorn::guitest;

class SettingsDialogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CMainFrame> frame_;
    SettingsCommands* commands_ = nullptr;

    template <class T> T* Child(QWidget* root, const char* name)
    {
        T* child = root->findChild<T*>(name);
        if (child == nullptr)
            qWarning("no child %s", name);
        return child;
    }

private slots:
    void init()
    {
        Prompt::resetForTest();
        QVERIFY(dir_.isValid());
        const std::string path = dir_.filePath("settings.db").toStdString();
        QFile::remove(QString::fromStdString(path));
        QVERIFY(MakeSampleDatabase(path));
        db_ = vorn::ProjectDb::Open(path).db;
        QVERIFY(db_);
        frame_ = std::make_unique<CMainFrame>(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        commands_ = new SettingsCommands(frame_.get(), db_.get());
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
    }
    void cleanup()
    {
        frame_.reset();
        db_.reset();
        sf::Ftp::SetTrustedCertificatesFile("");
    }

    void dialogSendsATestAlertWithTheValuesShownAndStoresThemOnOk()
    {
        vorn::test::AlertServer mail(vorn::test::AlertServer::Kind::Smtp,
            std::filesystem::path(dir_.filePath("mail").toStdString()), { "starttls", "bob", "s3cret" });
        sf::Ftp::SetTrustedCertificatesFile(mail.certificate().string());
        QVERIFY(TriggerAction(frame_.get(), "actionSettings"));
        CSettingsDialog* dialog = frame_->findChild<CSettingsDialog*>("settingsDialog");
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        // Without a keyring in this program the choice is not offered.
        QVERIFY(vorn::ProgramSecretStore() == nullptr);
        QVERIFY(!Child<QCheckBox>(dialog, "keyring")->isEnabled());

        Child<QLineEdit>(dialog, "smtpHost")->setText("127.0.0.1");
        Child<QSpinBox>(dialog, "smtpPort")->setValue(mail.port());
        Child<QComboBox>(dialog, "smtpTls")->setCurrentText("starttls");
        Child<QLineEdit>(dialog, "smtpUser")->setText("bob");
        Child<QLineEdit>(dialog, "smtpPassword")->setText("s3cret");
        Child<QLineEdit>(dialog, "mailFrom")->setText("vorn@example.org");
        Child<QLineEdit>(dialog, "mailTo")->setText("admin@example.org");
        QTest::mouseClick(Child<QPushButton>(dialog, "buttonTestAlert"), Qt::LeftButton);
        QLabel* result = Child<QLabel>(dialog, "testResult");
        QTRY_COMPARE_WITH_TIMEOUT(result->text(), QString("e-mail to admin@example.org: sent"), 20000);
        const auto received = mail.WaitForRecords(1, std::chrono::seconds(10));
        QCOMPARE(received.size(), std::size_t(1));
        QVERIFY(received[0].raw.find("Subject: [Vorn] Test: test message\r\n") != std::string::npos);
        // Nothing is stored before OK.
        QCOMPARE(vorn::LoadSettings(db_.get())->smtpHost, std::string());

        dialog->accept();
        const vorn::DatabaseSettings stored = vorn::LoadSettings(db_.get()).value();
        QCOMPARE(stored.smtpHost, std::string("127.0.0.1"));
        QCOMPARE(stored.smtpPort, mail.port());
        QCOMPARE(stored.smtpPassword, std::string("s3cret"));
        QCOMPARE(stored.mailTo, std::string("admin@example.org"));

        // Opened again, it shows what is stored; a refused server is told, not hidden.
        CSettingsDialog* again = commands_->OpenSettings();
        QCOMPARE(Child<QLineEdit>(again, "smtpUser")->text(), QString("bob"));
        Child<QSpinBox>(again, "smtpPort")->setValue(1);
        QTest::mouseClick(Child<QPushButton>(again, "buttonTestAlert"), Qt::LeftButton);
        QLabel* refused = Child<QLabel>(again, "testResult");
        QTRY_VERIFY_WITH_TIMEOUT(
            refused->text().startsWith("e-mail to admin@example.org: not sent: "), 20000);
        again->reject();
    }
};

QTEST_MAIN(SettingsDialogTest)
#include "SettingsDialogTest.moc"
