#include "kilnor_dialog.h"

#include "about_dialog.h"
#include "link_label.h"

#include <QAction>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QVBoxLayout>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

const char *const kKilnorWebAddress = "https://kilnor.example.com/";

namespace {

const char *const kDialogFamily = "宋体";
const char *const kStatusFamily = "Times new roman";
constexpr int kDialogPointSize = 9;
constexpr int kStatusPixelHeight = 30;
const char *const kDumpFilter = "*.dump";

#ifdef Q_OS_WIN
// System-menu command of the About item; the low four bits stay clear as
// WM_SYSCOMMAND requires.
constexpr UINT kAboutCommand = 0x0010;
#endif

QFont statusFont()
{
    QFont font(QString::fromUtf8(kStatusFamily));
    font.setPixelSize(kStatusPixelHeight);
    font.setWeight(QFont::Light);  // weight 300
    return font;
}

std::string toStd(const QString &aText)
{
    return aText.toStdString();
}

// Every push button is an auto-default button, as in a standard dialog:
// Enter clicks the button that has the focus, and the dialog's default
// button only while no push button has it.
QPushButton *makeButton(const char *aCaption, const char *aName, QWidget *aParent)
{
    auto *button = new QPushButton(QString::fromUtf8(aCaption), aParent);
    button->setObjectName(QString::fromLatin1(aName));
    button->setAutoDefault(true);
    return button;
}

QLineEdit *makeAddressEdit(const char *aName, QWidget *aParent)
{
    auto *edit = new QLineEdit(aParent);
    edit->setObjectName(QString::fromLatin1(aName));
    edit->setAlignment(Qt::AlignCenter);
    return edit;
}

} // namespace

void installKilnorFonts()
{
    QFont::insertSubstitutions(QString::fromUtf8(kDialogFamily),
                               {QStringLiteral("SimSun"), QStringLiteral("Noto Serif CJK SC"),
                                QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei")});
    QFont::insertSubstitutions(QString::fromUtf8(kStatusFamily),
                               {QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                                QStringLiteral("DejaVu Serif"), QStringLiteral("Noto Serif CJK SC")});
}

KilnorDialog::KilnorDialog(kilnor::KilnorChip &aChip, const QString &aConfigPath, QWidget *aParent)
    : QDialog(aParent), controller_(*this, aChip)
{
    setWindowTitle(QStringLiteral("Kilnor   "));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(QFont(QString::fromUtf8(kDialogFamily), kDialogPointSize));
    buildControls();
    buildSystemMenu();
    setWindowIcon(kilnorIcon());
    controller_.start(aConfigPath.toStdString());
}

void KilnorDialog::buildControls()
{
    auto *portCaption = new QLabel(QStringLiteral("接口选择："), this);
    lptRadio_ = new QRadioButton(QStringLiteral("LPT"), this);
    lptRadio_->setObjectName(QStringLiteral("lptRadio"));
    usbRadio_ = new QRadioButton(QStringLiteral("USB"), this);
    usbRadio_->setObjectName(QStringLiteral("usbRadio"));
    auto *portRow = new QHBoxLayout;
    portRow->addWidget(portCaption);
    portRow->addWidget(lptRadio_);
    portRow->addWidget(usbRadio_);
    portRow->addStretch(1);

    statusLabel_ = new QLabel(this);
    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    statusLabel_->setAlignment(Qt::AlignCenter);
    statusLabel_->setFont(statusFont());
    statusLabel_->setMinimumHeight(64);
    statusLabel_->setFrameShape(QFrame::Panel);
    statusLabel_->setFrameShadow(QFrame::Sunken);

    auto *initGroup = new QGroupBox(QStringLiteral("初始化"), this);
    writeHeaderButton_ = makeButton("写Header", "writeHeaderButton", initGroup);
    fillButton_ = makeButton("填充EEPROM", "fillButton", initGroup);
    readOutButton_ = makeButton("读出程序", "readOutButton", initGroup);
    auto *initRow = new QHBoxLayout(initGroup);
    initRow->addWidget(writeHeaderButton_);
    initRow->addWidget(fillButton_);
    initRow->addWidget(readOutButton_);

    auto *addressGroup = new QGroupBox(QStringLiteral("地址烧录"), this);
    napEdit_ = makeAddressEdit("napEdit", addressGroup);
    uapEdit_ = makeAddressEdit("uapEdit", addressGroup);
    lapEdit_ = makeAddressEdit("lapEdit", addressGroup);
    incrementCheck_ = new QCheckBox(QStringLiteral("地址递增"), addressGroup);
    incrementCheck_->setObjectName(QStringLiteral("incrementCheck"));
    writeAddressButton_ = makeButton("烧录", "writeAddressButton", addressGroup);
    auto *addressGrid = new QGridLayout(addressGroup);
    const char *captions[] = {"NAP", "UAP", "LAP"};
    for (int i = 0; i < 3; ++i) {
        auto *caption = new QLabel(QString::fromLatin1(captions[i]), addressGroup);
        caption->setAlignment(Qt::AlignCenter);
        addressGrid->addWidget(caption, 0, i + 1);
    }
    addressGrid->addWidget(new QLabel(QStringLiteral("蓝牙地址："), addressGroup), 1, 0);
    addressGrid->addWidget(napEdit_, 1, 1);
    addressGrid->addWidget(uapEdit_, 1, 2);
    addressGrid->addWidget(lapEdit_, 1, 3);
    addressGrid->addWidget(incrementCheck_, 2, 1, 1, 2);
    addressGrid->addWidget(writeAddressButton_, 2, 3);

    auto *fileGroup = new QGroupBox(QStringLiteral("程序烧录"), this);
    filePathEdit_ = new QLineEdit(fileGroup);
    filePathEdit_->setObjectName(QStringLiteral("filePathEdit"));
    chooseFileButton_ = makeButton("选择文件", "chooseFileButton", fileGroup);
    programFileButton_ = makeButton("烧录", "programFileButton", fileGroup);
    programFileButton_->setDefault(true);
    auto *fileRow = new QHBoxLayout(fileGroup);
    fileRow->addWidget(filePathEdit_, 1);
    fileRow->addWidget(chooseFileButton_);
    fileRow->addWidget(programFileButton_);

    cancelButton_ = makeButton("取消", "cancelButton", this);
    webLink_ = new LinkLabel(QUrl(QString::fromLatin1(kKilnorWebAddress)), this);
    webLink_->setObjectName(QStringLiteral("webLink"));
    auto *bottomRow = new QHBoxLayout;
    bottomRow->addWidget(new QLabel(QStringLiteral("查看更多信息："), this));
    bottomRow->addWidget(webLink_);
    bottomRow->addStretch(1);
    bottomRow->addWidget(cancelButton_);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(portRow);
    layout->addWidget(statusLabel_);
    layout->addWidget(initGroup);
    layout->addWidget(addressGroup);
    layout->addWidget(fileGroup);
    layout->addLayout(bottomRow);

    using kilnor::KilnorController;
    connect(incrementCheck_, &QCheckBox::clicked, this, [this] { controller_.incrementClicked(); });
    connect(chooseFileButton_, &QPushButton::clicked, this, [this] { controller_.chooseFileClicked(); });
    connect(programFileButton_, &QPushButton::clicked, this, [this] { controller_.programFileClicked(); });
    connect(writeHeaderButton_, &QPushButton::clicked, this, [this] { controller_.writeHeaderClicked(); });
    connect(fillButton_, &QPushButton::clicked, this, [this] { controller_.fillClicked(); });
    connect(readOutButton_, &QPushButton::clicked, this, [this] { controller_.readOutClicked(); });
    connect(writeAddressButton_, &QPushButton::clicked, this, [this] { controller_.writeAddressClicked(); });
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
}

void KilnorDialog::buildSystemMenu()
{
    const QString aboutText = QStringLiteral("关于 Kilnor(&A)...");
    // Elsewhere than on Windows the toolkit gives no access to the window
    // manager's menu: the same items open with Alt+Space or a right click.
    systemMenu_ = new QMenu(this);
    systemMenu_->addSeparator();
    aboutAction_ = systemMenu_->addAction(aboutText);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    connect(aboutAction_, &QAction::triggered, this, &KilnorDialog::showAbout);
    auto *shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(shortcut, &QShortcut::activated, this,
            [this] { systemMenu_->popup(mapToGlobal(QPoint(0, 0))); });
#ifdef Q_OS_WIN
    if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, kAboutCommand, reinterpret_cast<LPCWSTR>(aboutText.utf16()));
    }
#endif
}

void KilnorDialog::contextMenuEvent(QContextMenuEvent *aEvent)
{
    systemMenu_->popup(aEvent->globalPos());
}

#ifdef Q_OS_WIN
bool KilnorDialog::nativeEvent(const QByteArray &aEventType, void *aMessage, qintptr *aResult)
{
    const MSG *msg = static_cast<const MSG *>(aMessage);
    if (msg->message == WM_SYSCOMMAND && (msg->wParam & 0xFFF0) == kAboutCommand) {
        showAbout();
        *aResult = 0;
        return true;
    }
    return QDialog::nativeEvent(aEventType, aMessage, aResult);
}
#endif

void KilnorDialog::showAbout()
{
    AboutDialog about(this);
    about.exec();
}

kilnor::Port KilnorDialog::port() const
{
    if (lptRadio_->isChecked())
        return kilnor::Port::Lpt;
    if (usbRadio_->isChecked())
        return kilnor::Port::Usb;
    return kilnor::Port::None;
}

bool KilnorDialog::incrementChecked() const
{
    return incrementCheck_->isChecked();
}

std::string KilnorDialog::napText() const
{
    return toStd(napEdit_->text());
}

std::string KilnorDialog::uapText() const
{
    return toStd(uapEdit_->text());
}

std::string KilnorDialog::lapText() const
{
    return toStd(lapEdit_->text());
}

std::string KilnorDialog::filePathText() const
{
    return toStd(filePathEdit_->text());
}

void KilnorDialog::setPort(kilnor::Port aPort)
{
    lptRadio_->setChecked(aPort == kilnor::Port::Lpt);
    usbRadio_->setChecked(aPort == kilnor::Port::Usb);
}

void KilnorDialog::setIncrementChecked(bool aChecked)
{
    incrementCheck_->setChecked(aChecked);
}

void KilnorDialog::setAddressTexts(const std::string &aNap, const std::string &aUap, const std::string &aLap)
{
    napEdit_->setText(QString::fromStdString(aNap));
    uapEdit_->setText(QString::fromStdString(aUap));
    lapEdit_->setText(QString::fromStdString(aLap));
}

void KilnorDialog::setLapText(const std::string &aLap)
{
    lapEdit_->setText(QString::fromStdString(aLap));
}

void KilnorDialog::setAddressFieldsEnabled(bool aEnabled)
{
    napEdit_->setEnabled(aEnabled);
    uapEdit_->setEnabled(aEnabled);
    lapEdit_->setEnabled(aEnabled);
}

void KilnorDialog::setFilePathText(const std::string &aPath)
{
    filePathEdit_->setText(QString::fromStdString(aPath));
}

QPushButton *KilnorDialog::button(kilnor::Button aButton) const
{
    switch (aButton) {
    case kilnor::Button::WriteHeader:
        return writeHeaderButton_;
    case kilnor::Button::Fill:
        return fillButton_;
    case kilnor::Button::ReadOut:
        return readOutButton_;
    case kilnor::Button::WriteAddress:
        return writeAddressButton_;
    case kilnor::Button::ChooseFile:
        return chooseFileButton_;
    case kilnor::Button::ProgramFile:
        break;
    }
    return programFileButton_;
}

void KilnorDialog::setButtonEnabled(kilnor::Button aButton, bool aEnabled)
{
    button(aButton)->setEnabled(aEnabled);
}

void KilnorDialog::focusButton(kilnor::Button aButton)
{
    button(aButton)->setFocus(Qt::OtherFocusReason);
}

void KilnorDialog::setStatus(const std::string &aText)
{
    statusLabel_->setText(QString::fromStdString(aText));
    // Operations run on this thread; paint now so that "...中" texts are seen
    // while the library works.
    statusLabel_->repaint();
}

std::optional<std::string> KilnorDialog::askOpenDumpFile()
{
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("openDumpDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);  // the file need not exist yet
    dialog.setNameFilter(QString::fromLatin1(kDumpFilter));
    const auto path = execFileDialog(dialog);
    return path ? std::optional<std::string>(toStd(*path)) : std::nullopt;
}

std::optional<std::string> KilnorDialog::askSaveDumpFile()
{
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("saveDumpDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QString::fromLatin1(kDumpFilter));
    dialog.setDefaultSuffix(QStringLiteral("dump"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.selectFile(QStringLiteral("1.dump"));
    const auto path = execFileDialog(dialog);
    return path ? std::optional<std::string>(toStd(*path)) : std::nullopt;
}

std::optional<QString> KilnorDialog::execFileDialog(QFileDialog &aDialog)
{
    if (aDialog.exec() != QDialog::Accepted || aDialog.selectedFiles().isEmpty())
        return std::nullopt;
    return aDialog.selectedFiles().constFirst();
}

void KilnorDialog::showMessage(const std::string &aText)
{
    QMessageBox box(QMessageBox::NoIcon, QString(), QString::fromStdString(aText), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("kilnorMessage"));
    box.exec();
}
