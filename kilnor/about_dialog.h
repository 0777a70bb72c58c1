// The About box opened from the system menu.
#ifndef KILNOR_ABOUT_DIALOG_H
#define KILNOR_ABOUT_DIALOG_H

#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget *aParent = nullptr);
};

#endif
