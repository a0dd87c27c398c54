// The lists on their own: the status view's newest-first rows addressed by id, and the
// project list's row writers and cell setters.
#include "GuiTestSupport.h"
#include "store/BackupProject.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornStatus.h"

#include <QLabel>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void statusRowsNewestFirstAndFoundById()
    {
        CVornStatus view;
        const auto first = view.AddRow("10:00:01", "/www/a.html", "100", "...");
        const auto second = view.AddRow("10:00:02", "/www/b.html", "200", "...");
        QVERIFY(first != second);
        QCOMPARE(view.model()->Cell(0, StatusListModel::Name), QString("/www/b.html"));
        QCOMPARE(view.model()->Cell(1, StatusListModel::Name), QString("/www/a.html"));
        // More rows arrive above; the id still finds the first file's row, now at the bottom.
        for (int i = 0; i < 3; ++i)
            view.AddRow("10:00:03", QString("/www/c%1.html").arg(i), "1", "...");
        QVERIFY(view.SetRowStatus(first, "Failed"));
        QVERIFY(view.SetRowStatus(second, "Ignore"));
        QCOMPARE(view.rowCount(), 5);
        QCOMPARE(view.model()->Cell(4, StatusListModel::Name), QString("/www/a.html"));
        QCOMPARE(view.model()->Cell(4, StatusListModel::Status), QString("Failed"));
        QCOMPARE(view.model()->Cell(3, StatusListModel::Status), QString("Ignore"));
        QCOMPARE(view.model()->Cell(0, StatusListModel::Status), QString("..."));
        // The table shows the same order.
        QCOMPARE(view.list()->model()->index(0, 1).data().toString(), QString("/www/c2.html"));
        QCOMPARE(view.model()->headerData(2, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
            int(Qt::AlignRight | Qt::AlignVCenter));

        view.SetResultText(
            "Transmission Results: Folder(s):3, File(s):9, Failed Folder(s):0, Failed File(s):1.");
        QCOMPARE(view.findChild<QLabel*>("resultLabel")->text(), view.resultText());
        view.Clear();
        QCOMPARE(view.rowCount(), 0);
        QCOMPARE(view.resultText(), QString());
        // A status for a row that a Clean removed goes nowhere, and hits no new row.
        QVERIFY(!view.SetRowStatus(first, "Success"));
        const auto after = view.AddRow("10:01:00", "/www/d.html", "5", "...");
        QVERIFY(!view.SetRowStatus(second, "Success"));
        QCOMPARE(view.model()->Cell(0, StatusListModel::Status), QString("..."));
        QVERIFY(view.SetRowStatus(after, "Success"));
        QCOMPARE(view.model()->Cell(0, StatusListModel::Status), QString("Success"));
        QCOMPARE(view.model()->NamesSince(after).size(), std::size_t(1));
    }

    // A run of a hundred thousand files: rows stay addressable at both ends and the view's
    // model reports every insert as one row at the top.
    void statusListOfAHundredThousandRows()
    {
        CVornStatus view;
        view.resize(500, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        int inserts = 0;
        bool allAtTop = true;
        connect(view.model(), &QAbstractItemModel::rowsInserted, &view,
            [&](const QModelIndex&, int from, int to) {
                ++inserts;
                allAtTop = allAtTop && from == 0 && to == 0;
            });
        const auto oldest = view.AddRow("00:00:00", "/big/0", "1", "...");
        StatusListModel::RowId newest = oldest;
        for (int i = 1; i < 100000; ++i)
            newest = view.AddRow("00:00:01", QString("/big/%1").arg(i), "1", "...");
        QCOMPARE(view.rowCount(), 100000);
        QCOMPARE(inserts, 100000);
        QVERIFY(allAtTop);
        QVERIFY(view.SetRowStatus(oldest, "Success"));
        QVERIFY(view.SetRowStatus(newest, "Failed"));
        QCOMPARE(view.model()->Cell(99999, StatusListModel::Name), QString("/big/0"));
        QCOMPARE(view.model()->Cell(99999, StatusListModel::Status), QString("Success"));
        QCOMPARE(view.model()->Cell(0, StatusListModel::Name), QString("/big/99999"));
        QCOMPARE(view.model()->Cell(0, StatusListModel::Status), QString("Failed"));
        // No widget per row.
        QVERIFY(view.findChildren<QWidget*>().size() < 40);
    }

    void projectRowsWrittenAndFoundByName()
    {
        CVornBackupView view;
        vorn::BackupProject p;
        p.ftpname = "Mirror";
        p.ftpip = "src.example.net";
        p.ftpsource = "/data";
        p.ftptype = 2;
        p.ftpdestip = "dst.example.net";
        p.ftpdestpath = "/copy";
        p.ftpplanmode = 3;
        p.ftpdaymode = 2; // every 30 minutes
        p.ftpminute = 30;
        view.WriteProjectRow(0, p, false);
        p.ftpname = "mirror"; // names compare case-sensitively
        p.ftptype = 1;
        p.ftpdest = "/srv/mirror";
        p.ftpplanmode = 7; // not a schedule
        view.WriteProjectRow(1, p, false);
        QCOMPARE(view.rowCount(), 2);
        QCOMPARE(view.FindRowByName("Mirror"), 0);
        QCOMPARE(view.FindRowByName("mirror"), 1);
        QCOMPARE(view.FindRowByName("MIRROR"), -1);
        ProjectListModel* m = view.model();
        QCOMPARE(m->Cell(0, ProjectListModel::DestinationFolder), QString("ftp://dst.example.net/copy"));
        QCOMPARE(m->Cell(1, ProjectListModel::DestinationFolder), QString("/srv/mirror"));
        QVERIFY(!m->Cell(0, ProjectListModel::NextBackupTime).isEmpty());
        QCOMPARE(m->Cell(1, ProjectListModel::NextBackupTime), QString());

        QVERIFY(view.SetTransferStatus("Mirror", "Running"));
        QVERIFY(view.SetLastBackupTime("Mirror", "03/05/2012 19:05:09"));
        QVERIFY(view.SetNextBackupTime("mirror", "x"));
        QVERIFY(!view.SetTransferStatus("Nobody", "Running"));
        // Modify keeps the status and the last backup time (the last run is still the last).
        p.ftpname = "Mirror";
        view.WriteProjectRow(0, p, true);
        QCOMPARE(m->Cell(0, ProjectListModel::TransferStatus), QString("Running"));
        QCOMPARE(m->Cell(0, ProjectListModel::LastBackupTime), QString("03/05/2012 19:05:09"));
        view.WriteProjectRow(0, p, false);
        QCOMPARE(m->Cell(0, ProjectListModel::TransferStatus), QString());
        view.RemoveProjectRow(0);
        QCOMPARE(view.FindRowByName("Mirror"), -1);
        QCOMPARE(view.FindRowByName("mirror"), 0);
    }

    void filePaneClearEmptiesListAndPath()
    {
        CVornLocalTrans pane;
        QCOMPARE(
            pane.findChild<QLabel*>("destinationLabelCaption")->text(), QString("Destination Folder Path: "));
        pane.model()->SetEntries({ { FileListModel::Kind::Parent, "Parent Directory", {}, {} },
            { FileListModel::Kind::Document, "a.txt", "1024 byte", "03/05/2012 19:05" } });
        pane.SetPathText("/srv/backup/www");
        QCOMPARE(pane.rowCount(), 2);
        QVERIFY(!pane.model()->data(pane.model()->index(1, 0), Qt::DecorationRole).value<QIcon>().isNull());
        pane.Clear();
        QCOMPARE(pane.rowCount(), 0);
        QCOMPARE(pane.pathText(), QString());
    }
};

QTEST_MAIN(ViewsTest)
#include "ViewsTest.moc"
