#include "about_dialog.h"

#include "kilnor_dialog.h"
#include "link_label.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget *aParent) : QDialog(aParent)
{
    setWindowTitle(QStringLiteral("关于 Kilnor"));
    setWindowIcon(kilnorIcon());

    auto *icon = new QLabel(this);
    icon->setPixmap(kilnorIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);

    auto *version = new QLabel(QStringLiteral("Kilnor1.0 版"), this);
    version->setObjectName(QStringLiteral("versionLabel"));
    auto *notice = new QLabel(QStringLiteral("仅供生产线烧录使用，请勿在产品出货后改写地址。"), this);
    auto *chips = new QLabel(QStringLiteral("支持 Corvik 系列经典蓝牙芯片的外部 EEPROM（LPT 或 USB SPI 适配器）。"), this);
    chips->setWordWrap(true);
    auto *link = new LinkLabel(QUrl(QString::fromLatin1(kKilnorWebAddress)), this);
    link->setObjectName(QStringLiteral("aboutWebLink"));

    auto *ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto *texts = new QVBoxLayout;
    texts->addWidget(version);
    texts->addWidget(notice);
    texts->addWidget(chips);
    texts->addWidget(link);

    auto *top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(texts, 1);
    top->addWidget(ok, 0, Qt::AlignTop);

    setLayout(top);
}
