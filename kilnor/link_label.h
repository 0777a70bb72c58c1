// A web link drawn in blue while the pointer is strictly inside it and in
// black otherwise; a left click inside opens the address with the system's
// default handler.
#ifndef KILNOR_LINK_LABEL_H
#define KILNOR_LINK_LABEL_H

#include <QLabel>
#include <QUrl>

class LinkLabel : public QLabel {
    Q_OBJECT
public:
    LinkLabel(const QUrl &aUrl, QWidget *aParent = nullptr);

    bool hovered() const { return hovered_; }

protected:
    void mouseMoveEvent(QMouseEvent *aEvent) override;
    void mousePressEvent(QMouseEvent *aEvent) override;
    void leaveEvent(QEvent *aEvent) override;

private:
    void setHovered(bool aHovered);
    void applyColour();

    QUrl url_;
    bool hovered_ = false;
};

#endif
