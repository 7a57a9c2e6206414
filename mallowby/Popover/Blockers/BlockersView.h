#pragma once

#include "Eject/Blocker.h"
#include "Eject/Ejector.h"

#include <QString>
#include <QWidget>

#include <optional>

class QLabel;
class QVBoxLayout;

namespace mallowby {

class BlockerRow;
class HolderRow;
class BlockersActionRow;
class ConfirmationPanel;
class ImageRow;

// The panel a drive or network card shows while the ejector holds a status for its target:
// what happened, what holds the drive, and the remedies. It follows the ejector's changes in
// place and hides when the status goes. While shown, the ejector rescans the target every two
// seconds.
class BlockersView : public QWidget {
    Q_OBJECT
public:
    // The question the panel asks before a destructive step.
    struct Confirmation {
        enum class Kind { force, terminate, kill };

        Kind kind = Kind::force;
        std::optional<Blocker> blocker;  // the process, for terminate and kill

        static Confirmation force() { return {Kind::force, std::nullopt}; }
        static Confirmation terminate(Blocker blocker) { return {Kind::terminate, std::move(blocker)}; }
        static Confirmation kill(Blocker blocker) { return {Kind::kill, std::move(blocker)}; }

        QString question() const;
        QString cancelTitle() const;
        QString confirmTitle() const;

        bool operator==(const Confirmation&) const = default;
    };

    BlockersView(Ejector& ejector, const QString& targetID, QWidget* parent = nullptr);
    ~BlockersView() override;

    const QString& targetID() const { return m_targetID; }
    const std::optional<Confirmation>& confirmation() const { return m_confirmation; }

    // The owning app's name when there is one, otherwise the process name.
    static QString displayName(const Blocker& blocker);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void refresh();
    void presentHeader(const Ejector::Status& status);
    void presentBody(const Ejector::Status& status);
    void syncRows(const BlockerReport& report);
    void presentFooter(const Ejector::Status& status);
    void setConfirmation(std::optional<Confirmation> confirmation);
    void confirm();
    void orderTabs();

    Ejector& m_ejector;
    QString m_targetID;
    std::optional<Confirmation> m_confirmation;
    bool m_appeared = false;

    QLabel* m_title;
    QLabel* m_explanation;
    QLabel* m_stillMounted;
    QWidget* m_looking;
    QLabel* m_none;
    QWidget* m_rows;
    QVBoxLayout* m_rowsLayout;
    QList<ImageRow*> m_imageRows;
    QList<BlockerRow*> m_blockerRows;
    QList<HolderRow*> m_holderRows;
    BlockersActionRow* m_actions;
    ConfirmationPanel* m_confirmationPanel;
};

} // namespace mallowby
