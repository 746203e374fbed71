#include "deferredicon.h"

#include <QIconEngine>
#include <QPainter>

#include <memory>

namespace platform {

namespace {

class DeferredIconEngine : public QIconEngine
{
public:
    explicit DeferredIconEngine(std::function<QIcon()> make)
        : state_(std::make_shared<State>(State{std::move(make), {}, false}))
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    // Not null before it is made: whoever asks only whether there is an icon makes nothing.
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("DeferredIconEngine"); }
    // Copies share the one icon, made once for all of them.
    QIconEngine *clone() const override { return new DeferredIconEngine(state_); }

private:
    struct State
    {
        std::function<QIcon()> make;
        QIcon icon;
        bool made;
    };

    explicit DeferredIconEngine(std::shared_ptr<State> state) : state_(std::move(state)) {}

    const QIcon &icon()
    {
        if (!state_->made) {
            state_->icon = state_->make();
            state_->made = true;
            state_->make = nullptr;
        }
        return state_->icon;
    }

    std::shared_ptr<State> state_;
};

} // namespace

QIcon deferredIcon(std::function<QIcon()> make)
{
    return QIcon(new DeferredIconEngine(std::move(make)));
}

} // namespace platform
