// Starts the real Kilnor dialog over the stand-in libraries, clicks through
// it and saves a screenshot of the main dialog.
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
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

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
        QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
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

        const QByteArray shot = qgetenv("KILNOR_SCREENSHOT");
        const QString path = shot.isEmpty() ? QDir(oldCwd_).filePath(QStringLiteral("kilnor.png"))
                                            : QString::fromLocal8Bit(shot);
        QVERIFY(dialog_->grab().save(path, "PNG"));
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
        click("cancelButton");
        QVERIFY(!dialog_->isVisible());
        QCOMPARE(dialog_->result(), int(QDialog::Rejected));
    }
};

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    KilnorGuiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "gui_test.moc"
