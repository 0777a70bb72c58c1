// The main dialog of Kilnor: the Qt view over KilnorController.
#ifndef KILNOR_DIALOG_H
#define KILNOR_DIALOG_H

#include "kilnor_controller.h"
#include "kilnor_view.h"

#include <QDialog>

class QAction;
class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class LinkLabel;

// Font families used by the dialog, with substitutes for systems that do
// not have them, so that the Chinese captions always find CJK glyphs.
void installKilnorFonts();

// The tool's icon in the small (16) and big (32) window sizes.
QIcon kilnorIcon();

// The web address shown by the link in both dialogs.
extern const char *const kKilnorWebAddress;

class KilnorDialog : public QDialog, public kilnor::KilnorView {
    Q_OBJECT
public:
    explicit KilnorDialog(kilnor::KilnorChip &aChip, const QString &aConfigPath = QStringLiteral("config.bin"),
                          QWidget *aParent = nullptr);

    const kilnor::KilnorController &controller() const { return controller_; }
    // The About item of the window's system menu.
    QAction *aboutAction() const { return aboutAction_; }

    kilnor::Port port() const override;
    bool incrementChecked() const override;
    std::string napText() const override;
    std::string uapText() const override;
    std::string lapText() const override;
    std::string filePathText() const override;
    void setPort(kilnor::Port aPort) override;
    void setIncrementChecked(bool aChecked) override;
    void setAddressTexts(const std::string &aNap, const std::string &aUap, const std::string &aLap) override;
    void setLapText(const std::string &aLap) override;
    void setAddressFieldsEnabled(bool aEnabled) override;
    void setFilePathText(const std::string &aPath) override;
    void setButtonEnabled(kilnor::Button aButton, bool aEnabled) override;
    void focusButton(kilnor::Button aButton) override;
    void setStatus(const std::string &aText) override;
    std::optional<std::string> askOpenDumpFile() override;
    std::optional<std::string> askSaveDumpFile() override;
    void showMessage(const std::string &aText) override;

public slots:
    void showAbout();

protected:
    // Runs a configured file dialog and gives the chosen path, or nothing on
    // cancel. Tests replace it to answer without a modal loop.
    virtual std::optional<QString> execFileDialog(QFileDialog &aDialog);
    void contextMenuEvent(QContextMenuEvent *aEvent) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray &aEventType, void *aMessage, qintptr *aResult) override;
#endif

private:
    void buildControls();
    void buildSystemMenu();
    QPushButton *button(kilnor::Button aButton) const;

    kilnor::KilnorController controller_;
    QRadioButton *lptRadio_ = nullptr;
    QRadioButton *usbRadio_ = nullptr;
    QLabel *statusLabel_ = nullptr;
    QPushButton *writeHeaderButton_ = nullptr;
    QPushButton *fillButton_ = nullptr;
    QPushButton *readOutButton_ = nullptr;
    QLineEdit *napEdit_ = nullptr;
    QLineEdit *uapEdit_ = nullptr;
    QLineEdit *lapEdit_ = nullptr;
    QCheckBox *incrementCheck_ = nullptr;
    QPushButton *writeAddressButton_ = nullptr;
    QLineEdit *filePathEdit_ = nullptr;
    QPushButton *chooseFileButton_ = nullptr;
    QPushButton *programFileButton_ = nullptr;
    QPushButton *cancelButton_ = nullptr;
    LinkLabel *webLink_ = nullptr;
    QMenu *systemMenu_ = nullptr;
    QAction *aboutAction_ = nullptr;
};

#endif
