#pragma once

#include "Eject/Ejector.h"

#include <QWidget>

#include <functional>

class QLabel;

namespace mallowby {

// What the last eject-all did, until dismissed: "Ejected A and B. C couldn't be ejected."
class EjectAllSummary : public QWidget {
    Q_OBJECT
public:
    EjectAllSummary(const Ejector& ejector, std::function<void()> close, QWidget* parent = nullptr);

    void present(const Ejector::EjectAllResult& result);

    // Failed ids are named by their statuses' targets; ids whose status went are only counted.
    static QString message(const Ejector::EjectAllResult& result, const QMap<QString, Ejector::Status>& statuses);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const Ejector& m_ejector;
    QLabel* m_message;
};

} // namespace mallowby
