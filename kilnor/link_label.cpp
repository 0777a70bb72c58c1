#include "link_label.h"

#include <QDesktopServices>
#include <QMouseEvent>

LinkLabel::LinkLabel(const QUrl &aUrl, QWidget *aParent) : QLabel(aUrl.toString(), aParent), url_(aUrl)
{
    setMouseTracking(true);
    setTextInteractionFlags(Qt::NoTextInteraction);
    applyColour();
}

void LinkLabel::mouseMoveEvent(QMouseEvent *aEvent)
{
    setHovered(rect().contains(aEvent->position().toPoint(), true));
    QLabel::mouseMoveEvent(aEvent);
}

void LinkLabel::mousePressEvent(QMouseEvent *aEvent)
{
    if (aEvent->button() == Qt::LeftButton && rect().contains(aEvent->position().toPoint(), true))
        QDesktopServices::openUrl(url_);
    QLabel::mousePressEvent(aEvent);
}

void LinkLabel::leaveEvent(QEvent *aEvent)
{
    setHovered(false);
    QLabel::leaveEvent(aEvent);
}

void LinkLabel::setHovered(bool aHovered)
{
    // Repaint only when the pointer crosses the border.
    if (aHovered == hovered_)
        return;
    hovered_ = aHovered;
    applyColour();
}

void LinkLabel::applyColour()
{
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, hovered_ ? Qt::blue : Qt::black);
    setPalette(colours);
}
