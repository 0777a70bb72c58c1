// Starts the real Kilnor dialog over the stand-in libraries, clicks through
// it and types into it as an operator does, and saves a screenshot of the
// main dialog. Started with --write-addresses N it is the dialog alone, as a
// child process that presses Enter N times on the address button (the test
// of a crash in the middle of an address write).
#include "about_dialog.h"
#include "kilnor_dialog.h"
#include "kilnor_libraries.h"
#include "link_label.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace {

QByteArray readAll(const QString &aPath)
{
    QFile file(aPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &aPath, const QByteArray &aBytes)
{
    QFile file(aPath);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(aBytes);
}

// Runs aHandler on the next modal window once it is shown; a failed lookup
// fails the test instead of hanging it.
void onNextModal(std::function<void(QWidget *)> aHandler)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, aHandler, tries = 0]() mutable {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            aHandler(modal);
        } else if (++tries >= 300) {
            qFatal("no modal window appeared");
        }
    });
    timer->start();
}

// The dialog with its file dialogs answered by the test: the test sees the
// configured QFileDialog and gives the operator's choice.
class AnsweredDialog : public KilnorDialog {
public:
    using KilnorDialog::KilnorDialog;
    std::function<std::optional<QString>(QFileDialog &)> answer;

protected:
    std::optional<QString> execFileDialog(QFileDialog &aDialog) override
    {
        if (!answer)
            qFatal("unexpected file dialog");
        return answer(aDialog);
    }
};

// Real key presses: through the window system into the focus widget.
void press(QWidget *aWindow, Qt::Key aKey)
{
    QTest::keyClick(aWindow->windowHandle(), aKey);
}

// psWriteBdAddr lines of the call log as "lap=result", in call order.
QStringList addressWrites(const QByteArray &aLog)
{
    QStringList writes;
    static const QRegularExpression call(QStringLiteral("^psWriteBdAddr\\(\\d+,0x([0-9A-F]+),0x5B,0x2\\)=(.*)$"),
                                         QRegularExpression::MultilineOption);
    for (auto it = call.globalMatch(QString::fromUtf8(aLog)); it.hasNext();) {
        const auto match = it.next();
        writes << match.captured(1) + QLatin1Char('=') + match.captured(2);
    }
    return writes;
}

// The child: the dialog over the stand-ins, Enter pressed aCount times on
// the focused address button; prints the status after each press.
int writeAddresses(int aCount)
{
    installKilnorFonts();
    kilnor::KilnorLibraries libraries;
    KilnorDialog dialog(libraries);
    dialog.show();
    dialog.activateWindow();
    if (!QTest::qWaitForWindowActive(&dialog))
        return 2;
    auto *button = dialog.findChild<QPushButton *>(QStringLiteral("writeAddressButton"));
    button->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < aCount; ++i) {
        press(&dialog, Qt::Key_Return);
        const QString status = dialog.findChild<QLabel *>(QStringLiteral("statusLabel"))->text();
        std::printf("%s\n", status.toUtf8().constData());
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

class KilnorGuiTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir simDir_;
    QTemporaryDir workDir_;
    QString oldCwd_;
    kilnor::KilnorLibraries libraries_;
    std::unique_ptr<AnsweredDialog> dialog_;

    template <typename T>
    T *child(const char *aName) const
    {
        T *widget = dialog_->findChild<T *>(QString::fromLatin1(aName));
        if (widget == nullptr)
            qFatal("missing control %s", aName);
        return widget;
    }
    QString status() const { return child<QLabel>("statusLabel")->text(); }
    QString sim(const char *aName) const { return simDir_.filePath(QString::fromLatin1(aName)); }
    void configure(const QByteArray &aText) { writeAll(sim("sim.conf"), aText); }
    void click(const char *aName) { QTest::mouseClick(child<QPushButton>(aName), Qt::LeftButton); }
    void press(Qt::Key aKey) { ::press(dialog_.get(), aKey); }
    // Focuses the control as Tab would and checks that it has the focus.
    void focus(QWidget *aWidget)
    {
        aWidget->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), aWidget);
    }
    QByteArray takeCalls()
    {
        const QByteArray calls = readAll(sim("calls.log"));
        QFile::remove(sim("calls.log"));
        return calls;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(simDir_.isValid() && workDir_.isValid());
        qputenv("KILNOR_SIM_DIR", simDir_.path().toUtf8());
        oldCwd_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workDir_.path()));
        // nap 0002, uap 5B, lap 00FFFE, lapEnd 010010
        writeAll(QStringLiteral("config.bin"), QByteArray::fromHex("00025b00fffe010010"));
        configure("eeprom_size=1024\n");
        installKilnorFonts();
        dialog_ = std::make_unique<AnsweredDialog>(libraries_);
        dialog_->show();
        // Without a window manager (a bare X server) nobody activates it.
        dialog_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
    }

    void cleanupTestCase()
    {
        dialog_.reset();
        QDir::setCurrent(oldCwd_);
    }

    void startState()
    {
        QCOMPARE(dialog_->windowTitle(), QStringLiteral("Kilnor   "));
        QCOMPARE(status(), QStringLiteral("请放入设备"));
        QVERIFY(child<QRadioButton>("usbRadio")->isChecked());
        QVERIFY(!child<QRadioButton>("lptRadio")->isChecked());
        QVERIFY(child<QCheckBox>("incrementCheck")->isChecked());
        QCOMPARE(child<QLineEdit>("napEdit")->text(), QStringLiteral("0002"));
        QCOMPARE(child<QLineEdit>("uapEdit")->text(), QStringLiteral("5B"));
        QCOMPARE(child<QLineEdit>("lapEdit")->text(), QStringLiteral("00FFFE"));
        QVERIFY(!child<QLineEdit>("lapEdit")->isEnabled());
        QVERIFY(!child<QPushButton>("programFileButton")->isEnabled());
        QVERIFY(child<QPushButton>("programFileButton")->isDefault());
        QCOMPARE(dialog_->font().family(), QStringLiteral("宋体"));
        QCOMPARE(dialog_->font().pointSize(), 9);
        const QFont statusFont = child<QLabel>("statusLabel")->font();
        QCOMPARE(statusFont.pixelSize(), 30);
        QCOMPARE(statusFont.weight(), QFont::Light);
        QVERIFY(!dialog_->windowIcon().isNull());
    }

    void eepromButtons()
    {
        click("writeHeaderButton");
        QCOMPARE(status(), QStringLiteral("初始化完成"));
        click("fillButton");
        QCOMPARE(status(), QStringLiteral("填充完成"));
        configure("adapter=none\n");
        click("writeHeaderButton");
        QCOMPARE(status(), QStringLiteral("SPI连接失败"));
        configure("eeprom_size=1024\n");
    }

    void readOutAndProgramFile()
    {
        const QString dump = workDir_.filePath(QStringLiteral("board.dump"));
        dialog_->answer = [dump](QFileDialog &aDialog) -> std::optional<QString> {
            [&] {
                QCOMPARE(aDialog.acceptMode(), QFileDialog::AcceptSave);
                QCOMPARE(aDialog.defaultSuffix(), QStringLiteral("dump"));
                QCOMPARE(aDialog.nameFilters(), QStringList{QStringLiteral("*.dump")});
                QVERIFY(aDialog.testOption(QFileDialog::DontConfirmOverwrite));
                QVERIFY(aDialog.selectedFiles().value(0).endsWith(QStringLiteral("/1.dump")));
            }();
            return dump;
        };
        click("readOutButton");
        QCOMPARE(status(), QStringLiteral("读取完成"));
        QVERIFY(readAll(dump).startsWith("KDMP"));
        QVERIFY(child<QPushButton>("readOutButton")->isEnabled());

        QVERIFY(!child<QPushButton>("programFileButton")->isEnabled());
        dialog_->answer = [dump](QFileDialog &aDialog) -> std::optional<QString> {
            [&] {
                QCOMPARE(aDialog.acceptMode(), QFileDialog::AcceptOpen);
                QCOMPARE(aDialog.fileMode(), QFileDialog::AnyFile);
                QCOMPARE(aDialog.defaultSuffix(), QString());
                QCOMPARE(aDialog.nameFilters(), QStringList{QStringLiteral("*.dump")});
            }();
            return dump;
        };
        click("chooseFileButton");
        QCOMPARE(child<QLineEdit>("filePathEdit")->text(), dump);
        QVERIFY(child<QPushButton>("programFileButton")->isEnabled());
        click("programFileButton");
        QCOMPARE(status(), QStringLiteral("烧录完成"));
    }

    void addressWrite()
    {
        click("writeAddressButton");
        QCOMPARE(status(), QStringLiteral("烧录成功"));
        QCOMPARE(child<QLineEdit>("lapEdit")->text(), QStringLiteral("00FFFF"));
        click("writeAddressButton");
        QCOMPARE(child<QLineEdit>("lapEdit")->text(), QStringLiteral("010000"));
        QCOMPARE(readAll(sim("bdaddr")), QByteArray("0002:5B:00FFFF\n"));
        QVERIFY(child<QPushButton>("writeAddressButton")->isEnabled());

        // The screenshot: two devices done, the address button has the focus
        // and takes the next Enter.
        QCOMPARE(QApplication::focusWidget(), child<QPushButton>("writeAddressButton"));
        const QByteArray shot = qgetenv("KILNOR_SCREENSHOT");
        const QString path = shot.isEmpty() ? QDir(oldCwd_).filePath(QStringLiteral("kilnor.png"))
                                            : QString::fromLocal8Bit(shot);
        QVERIFY(dialog_->grab().save(path, "PNG"));
    }

    void enterFollowsTheFocus()
    {
        // A file is chosen, so the file "烧录" is the enabled default button.
        QVERIFY(child<QPushButton>("programFileButton")->isEnabled());
        const QString dump = workDir_.filePath(QStringLiteral("board.dump"));
        dialog_->answer = [dump](QFileDialog &) -> std::optional<QString> { return dump; };
        struct Case {
            const char *button;
            const char *call;
            const char *status;
        };
        for (const Case &c : {Case{"writeHeaderButton", "plsWriteCkHeader()=0", "初始化完成"},
                              Case{"fillButton", "plsFill(255,1)=0", "填充完成"},
                              Case{"readOutButton", "plsDump(", "读取完成"},
                              Case{"writeAddressButton", "psWriteBdAddr(", "烧录成功"}}) {
            takeCalls();
            auto *button = child<QPushButton>(c.button);
            focus(button);
            QVERIFY(button->isDefault());
            QVERIFY(!child<QPushButton>("programFileButton")->isDefault());
            press(Qt::Key_Return);
            const QByteArray calls = takeCalls();
            QVERIFY2(calls.contains(c.call), calls.constData());
            QVERIFY2(!calls.contains("plsProgram"), calls.constData());
            QCOMPARE(status(), QString::fromUtf8(c.status));
        }
        // The keypad's Enter is the same key to the operator.
        focus(child<QPushButton>("fillButton"));
        press(Qt::Key_Enter);
        QCOMPARE(takeCalls(), QByteArray("plsOpen(2,-1,-1)=0\nplsFill(255,1)=0\nplsClose()\n"));

        // Choosing a file: Enter opens the file dialog, and a cancel calls
        // nothing.
        bool asked = false;
        dialog_->answer = [&asked](QFileDialog &) -> std::optional<QString> {
            asked = true;
            return std::nullopt;
        };
        focus(child<QPushButton>("chooseFileButton"));
        press(Qt::Key_Return);
        QVERIFY(asked);
        QVERIFY(takeCalls().isEmpty());

        // No push button has the focus: the default button takes Enter.
        focus(child<QLineEdit>("filePathEdit"));
        QVERIFY(child<QPushButton>("programFileButton")->isDefault());
        press(Qt::Key_Return);
        QVERIFY(takeCalls().contains("plsProgram("));
        QCOMPARE(status(), QStringLiteral("烧录完成"));
    }

    void focusComesBackAfterEachOperation()
    {
        auto *writeAddress = child<QPushButton>("writeAddressButton");
        focus(writeAddress);
        takeCalls();
        const QString first = child<QLineEdit>("lapEdit")->text();
        press(Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), writeAddress);
        press(Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), writeAddress);
        const QByteArray calls = takeCalls();
        QVERIFY2(!calls.contains("plsProgram"), calls.constData());
        const uint lap = first.toUInt(nullptr, 16);
        QCOMPARE(addressWrites(calls), (QStringList{QString::number(lap, 16).toUpper() + QStringLiteral("=1"),
                                                    QString::number(lap + 1, 16).toUpper() + QStringLiteral("=1")}));

        // After a read-out Space repeats it and leaves "地址递增" alone.
        const QString dump = workDir_.filePath(QStringLiteral("again.dump"));
        int dumps = 0;
        dialog_->answer = [&](QFileDialog &) -> std::optional<QString> { return ++dumps, dump; };
        auto *readOut = child<QPushButton>("readOutButton");
        focus(readOut);
        press(Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), readOut);
        press(Qt::Key_Space);
        QCOMPARE(dumps, 2);
        QCOMPARE(QApplication::focusWidget(), readOut);
        QVERIFY(child<QCheckBox>("incrementCheck")->isChecked());
        QCOMPARE(status(), QStringLiteral("读取完成"));

        auto *programFile = child<QPushButton>("programFileButton");
        focus(programFile);
        press(Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), programFile);
        QCOMPARE(status(), QStringLiteral("烧录完成"));
    }

    void addressesStayInTheirRange()
    {
        // Enter on the address button until the range of config.bin is
        // used up; the last LAP written is the one before lapEnd.
        auto *writeAddress = child<QPushButton>("writeAddressButton");
        auto *lapEdit = child<QLineEdit>("lapEdit");
        focus(writeAddress);
        for (int i = 0; i < 32 && lapEdit->text() != QStringLiteral("010010"); ++i)
            press(Qt::Key_Return);
        QCOMPARE(lapEdit->text(), QStringLiteral("010010"));
        QVERIFY(addressWrites(takeCalls()).endsWith(QStringLiteral("1000F=1")));
        press(Qt::Key_Return);
        QCOMPARE(status(), QStringLiteral("地址已用完"));
        QVERIFY(takeCalls().isEmpty());

        // Typed addresses: another NAP is refused, and so is an address the
        // ledger holds.
        auto *increment = child<QCheckBox>("incrementCheck");
        focus(increment);
        press(Qt::Key_Space);
        QVERIFY(!increment->isChecked());
        QVERIFY(lapEdit->isEnabled());
        auto type = [this](const char *aEdit, const char *aText) {
            auto *edit = child<QLineEdit>(aEdit);
            focus(edit);
            edit->selectAll();
            QTest::keyClicks(edit, QString::fromLatin1(aText));
        };
        type("napEdit", "0003");
        type("lapEdit", "010000");
        focus(writeAddress);
        press(Qt::Key_Return);
        QCOMPARE(status(), QStringLiteral("地址不在范围内"));
        type("napEdit", "0002");
        focus(writeAddress);
        press(Qt::Key_Return);
        QCOMPARE(status(), QStringLiteral("地址已烧录过"));
        QVERIFY(takeCalls().isEmpty());
        QCOMPARE(QApplication::focusWidget(), writeAddress);
        QVERIFY(readAll(workDir_.filePath(QString::fromLatin1(kilnor::kLedgerName)))
                    .contains("0002:5B:01000F written \n"));
        focus(increment);
        press(Qt::Key_Space);
        QVERIFY(increment->isChecked());
    }

    void crashInTheMiddleOfAWriteNeverWritesAnAddressTwice()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QDir dir(folder.path());
        QVERIFY(dir.mkdir(QStringLiteral("sim")));
        const QString simDir = dir.filePath(QStringLiteral("sim"));
        // nap 0002, uap 5B, lap 000100 up to lapEnd 000110
        writeAll(dir.filePath(QStringLiteral("config.bin")), QByteArray::fromHex("00025b000100000110"));
        auto run = [&](const QByteArray &aConf, int aPresses) {
            writeAll(simDir + QStringLiteral("/sim.conf"), aConf);
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("KILNOR_SIM_DIR"), simDir);
            child.setProcessEnvironment(env);
            child.setWorkingDirectory(folder.path());
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--write-addresses"), QString::number(aPresses)});
            child.waitForFinished(60000);
            return std::pair{child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1,
                             QString::fromUtf8(child.readAllStandardOutput())};
        };
        QCOMPARE(run("", 2), (std::pair{0, QStringLiteral("烧录成功\n烧录成功\n")}));
        // Killed after the reservation, before the address reached the chip,
        // then after it reached the chip but before the outcome was noted.
        QCOMPARE(run("addr_crash=before\n", 1).first, 86);
        QCOMPARE(run("addr_crash=after\n", 1).first, 86);
        QCOMPARE(run("", 2), (std::pair{0, QStringLiteral("烧录成功\n烧录成功\n")}));

        const QStringList writes = addressWrites(readAll(simDir + QStringLiteral("/calls.log")));
        QCOMPARE(writes, (QStringList{QStringLiteral("100=1"), QStringLiteral("101=1"), QStringLiteral("102=crash"),
                                      QStringLiteral("103=1"), QStringLiteral("104=1"), QStringLiteral("105=1")}));
        const QString ledger = QString::fromUtf8(readAll(dir.filePath(QString::fromLatin1(kilnor::kLedgerName))));
        const QStringList states = ledger.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(states.size(), 6);
        const char *expected[] = {"000100 written ", "000101 written ", "000102 reserved",
                                  "000103 reserved", "000104 written ", "000105 written "};
        for (int i = 0; i < 6; ++i)
            QVERIFY2(states[i].endsWith(QString::fromLatin1(expected[i])), qPrintable(states[i]));
    }

    void aboutBox()
    {
        QCOMPARE(dialog_->aboutAction()->text(), QStringLiteral("关于 Kilnor(&A)..."));
        onNextModal([](QWidget *aModal) {
            auto *about = qobject_cast<AboutDialog *>(aModal);
            QVERIFY(about != nullptr);
            QCOMPARE(about->windowTitle(), QStringLiteral("关于 Kilnor"));
            QCOMPARE(about->findChild<QLabel *>(QStringLiteral("versionLabel"))->text(),
                     QStringLiteral("Kilnor1.0 版"));
            QTest::mouseClick(about->findChild<QPushButton *>(QStringLiteral("okButton")), Qt::LeftButton);
        });
        dialog_->aboutAction()->trigger();
    }

    void webLinkTurnsBlueWhileHovered()
    {
        auto *link = dialog_->findChild<LinkLabel *>(QStringLiteral("webLink"));
        QVERIFY(link != nullptr);
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(Qt::black));
        QMouseEvent inside(QEvent::MouseMove, QPointF(link->rect().center()), link->mapToGlobal(QPointF(1, 1)),
                           Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(link, &inside);
        QVERIFY(link->hovered());
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(Qt::blue));
        // The border itself is not inside.
        QMouseEvent border(QEvent::MouseMove, QPointF(0, 0), link->mapToGlobal(QPointF(0, 0)), Qt::NoButton,
                           Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(link, &border);
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(Qt::black));
    }

    void cancelClosesDialog()
    {
        // The About box had the activation last.
        dialog_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
        focus(child<QPushButton>("cancelButton"));
        press(Qt::Key_Return);
        QVERIFY(!dialog_->isVisible());
        QCOMPARE(dialog_->result(), int(QDialog::Rejected));
    }
};

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--write-addresses") == 0)
        return writeAddresses(std::atoi(argv[2]));
    KilnorGuiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "gui_test.moc"
