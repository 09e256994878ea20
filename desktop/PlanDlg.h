#pragma once

// moc cannot read the C++20 library headers these bring; it needs none of them.
#ifndef Q_MOC_RUN
#include "Plan.h"
#endif

#include <QDialog>

#include <functional>
#include <optional>
#include <set>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QSpinBox;

// The data plan: on or off, the cycle's start day, the cap with its unit said plainly (decimal or
// binary), what counts, which devices, and the alert percentages.
class CPlanDlg : public QDialog {
    Q_OBJECT

public:
    // User-interface thread, at OK: keeps the plan (nullopt: none); "" when kept, else why not,
    // which the dialog shows, staying open.
    using ApplyFn = std::function<QString(const std::optional<Plan>& plan)>;

    // devices: those to offer besides the plan's own. fnApply: how the plan is kept (none: the
    // caller reads GetPlan after OK).
    CPlanDlg(const std::optional<Plan>& plan, const std::set<std::string>& devices,
             QWidget* pParent = nullptr, ApplyFn fnApply = {});

    // After OK: the plan, or nullopt for none.
    const std::optional<Plan>& GetPlan() const { return m_plan; }

    void accept() override;

private:
    QCheckBox* m_pEnabled = nullptr;
    QSpinBox* m_pDay = nullptr;
    QLineEdit* m_pCap = nullptr;
    QComboBox* m_pUnit = nullptr;
    QComboBox* m_pCounts = nullptr;
    QCheckBox* m_pAllDevices = nullptr;
    QListWidget* m_pDevices = nullptr;
    QLineEdit* m_pAlerts = nullptr;
    QLabel* m_pError = nullptr;
    std::optional<Plan> m_plan;
    ApplyFn m_fnApply;
    // Keeps the plan through fnApply, then closes; stays open with the reason when refused.
    void Apply(const std::optional<Plan>& plan);
};
