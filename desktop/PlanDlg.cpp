#include "PlanDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr ECapUnit kUnits[] = {ECapUnit::MB,  ECapUnit::GB,  ECapUnit::TB,
                               ECapUnit::MiB, ECapUnit::GiB, ECapUnit::TiB};

// The cap as a number in its unit, with no more decimals than it needs.
QString CapNumber(int64_t nBytes, ECapUnit eUnit) {
    QString strNumber = QString::number(
        static_cast<double>(nBytes) / static_cast<double>(UnitBytes(eUnit)), 'f', 3);
    while (strNumber.endsWith(QLatin1Char('0'))) {
        strNumber.chop(1);
    }
    if (strNumber.endsWith(QLatin1Char('.'))) {
        strNumber.chop(1);
    }
    return strNumber;
}

} // namespace

CPlanDlg::CPlanDlg(const std::optional<Plan>& plan, const std::set<std::string>& devices,
                   QWidget* pParent, ApplyFn fnApply)
    : QDialog(pParent), m_plan(plan), m_fnApply(std::move(fnApply)) {
    setObjectName(QStringLiteral("IDD_PLAN"));
    setWindowTitle(QStringLiteral("Orvek - Data plan"));
    Plan shown;
    shown.nCapBytes = 50'000'000'000; // offered for a first plan
    if (plan) {
        shown = *plan;
    }

    m_pEnabled = new QCheckBox(QStringLiteral("&Count against a data plan"), this);
    m_pEnabled->setObjectName(QStringLiteral("IDC_PLAN_ON"));
    m_pEnabled->setChecked(plan.has_value());
    m_pDay = new QSpinBox(this);
    m_pDay->setRange(1, 31);
    m_pDay->setValue(shown.nCycleDay);
    m_pDay->setToolTip(QStringLiteral("In a month without this day, the cycle starts on the "
                                      "month's last day."));
    m_pCap = new QLineEdit(CapNumber(shown.nCapBytes, shown.eUnit), this);
    m_pCap->setObjectName(QStringLiteral("IDC_PLAN_CAP"));
    m_pUnit = new QComboBox(this);
    m_pUnit->setObjectName(QStringLiteral("IDC_PLAN_UNIT"));
    for (const ECapUnit eUnit : kUnits) {
        m_pUnit->addItem(QString::fromStdString(DescribeUnit(eUnit)), static_cast<int>(eUnit));
    }
    m_pUnit->setCurrentIndex(m_pUnit->findData(static_cast<int>(shown.eUnit)));
    auto* pCapRow = new QHBoxLayout;
    pCapRow->addWidget(m_pCap, 1);
    pCapRow->addWidget(m_pUnit, 2);
    m_pCounts = new QComboBox(this);
    m_pCounts->addItem(QStringLiteral("Sent and received bytes"));
    m_pCounts->addItem(QStringLiteral("Received bytes only"));
    m_pCounts->setCurrentIndex(shown.eCounting == ECounting::ReceivedOnly ? 1 : 0);
    m_pAllDevices = new QCheckBox(QStringLiteral("&All counted devices"), this);
    m_pAllDevices->setChecked(shown.devices.empty());
    m_pDevices = new QListWidget(this);
    std::set<std::string> offered = devices;
    offered.insert(shown.devices.begin(), shown.devices.end());
    for (const std::string& strDevice : offered) {
        auto* pItem = new QListWidgetItem(QString::fromStdString(strDevice), m_pDevices);
        pItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        pItem->setCheckState(shown.devices.contains(strDevice) ? Qt::Checked : Qt::Unchecked);
    }
    m_pDevices->setEnabled(!m_pAllDevices->isChecked());
    // User-interface thread: the list is for choosing only when not all devices count.
    connect(m_pAllDevices, &QCheckBox::toggled, m_pDevices,
            [this](bool bAll) { m_pDevices->setEnabled(!bAll); });
    QString strAlerts;
    for (const int nPercent : shown.vecAlerts) {
        strAlerts +=
            (strAlerts.isEmpty() ? QString() : QStringLiteral(", ")) + QString::number(nPercent);
    }
    m_pAlerts = new QLineEdit(strAlerts, this);
    m_pAlerts->setToolTip(QStringLiteral("Percentages of the cap at which a notification says so, "
                                         "once per cycle."));
    m_pError = new QLabel(this);
    m_pError->setObjectName(QStringLiteral("IDC_PLAN_ERROR"));
    m_pError->setWordWrap(true);

    auto* pForm = new QFormLayout;
    pForm->addRow(QStringLiteral("Cycle starts on &day"), m_pDay);
    // A row of a layout gets a label without a buddy, which shows its '&': Alt+P needs one.
    auto* pCapLabel = new QLabel(QStringLiteral("Ca&p"), this);
    pCapLabel->setObjectName(QStringLiteral("IDC_PLAN_CAP_LABEL"));
    pCapLabel->setBuddy(m_pCap);
    pForm->addRow(pCapLabel, pCapRow);
    pForm->addRow(QStringLiteral("C&ounts"), m_pCounts);
    pForm->addRow(QStringLiteral("De&vices"), m_pAllDevices);
    pForm->addRow(QString(), m_pDevices);
    pForm->addRow(QStringLiteral("A&lerts at (%)"), m_pAlerts);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(pButtons, &QDialogButtonBox::accepted, this, &CPlanDlg::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &CPlanDlg::reject);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pEnabled);
    pLayout->addLayout(pForm);
    pLayout->addWidget(m_pError);
    pLayout->addWidget(pButtons);
}

void CPlanDlg::accept() {
    if (!m_pEnabled->isChecked()) {
        Apply(std::nullopt);
        return;
    }
    Plan plan;
    plan.nCycleDay = m_pDay->value();
    const auto eUnit = static_cast<ECapUnit>(m_pUnit->currentData().toInt());
    std::string strError;
    ECapUnit eParsed{};
    if (!ParseCap(
            (m_pCap->text() + QLatin1Char(' ') + QLatin1String(UnitName(eUnit))).toStdString(),
            plan.nCapBytes, eParsed, strError)) {
        m_pError->setText(QString::fromStdString(strError));
        return;
    }
    plan.eUnit = eUnit;
    plan.eCounting =
        m_pCounts->currentIndex() == 1 ? ECounting::ReceivedOnly : ECounting::SentAndReceived;
    if (!m_pAllDevices->isChecked()) {
        for (int n = 0; n < m_pDevices->count(); ++n) {
            if (m_pDevices->item(n)->checkState() == Qt::Checked) {
                plan.devices.insert(m_pDevices->item(n)->text().toStdString());
            }
        }
        if (plan.devices.empty()) {
            m_pError->setText(QStringLiteral("Tick the devices that count, or all of them."));
            return;
        }
    }
    if (!ParseAlerts(m_pAlerts->text().toStdString(), plan.vecAlerts)) {
        m_pError->setText(QStringLiteral("Alerts are percentages from 1 to 1000, separated by "
                                         "commas, as in 75, 90, 100."));
        return;
    }
    Apply(plan);
}

void CPlanDlg::Apply(const std::optional<Plan>& plan) {
    if (m_fnApply) {
        if (const QString strError = m_fnApply(plan); !strError.isEmpty()) {
            m_pError->setText(strError);
            return;
        }
    }
    m_plan = plan;
    QDialog::accept();
}
