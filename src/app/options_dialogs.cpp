#include "app/options_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace ombrix {
namespace {

// What OK does with the number typed into a field: keeps it only when it is greater than 0 and
// at most high, or clamps it to low..high.
struct Rule {
  bool clamp = false;
  int low = 1;
  int high = std::numeric_limits<int32_t>::max();
};
constexpr Rule kPositive{};

// A field of a dialog: its label, the objectName of its control, the setting it shows and the
// rule of OK.
template <typename T>
struct Field {
  const char* label;
  const char* name;
  T Settings::*member;
  Rule rule = kPositive;
};

constexpr Field<int32_t> kTriggerFields[] = {
    {"Threshold", "threshold", &Settings::threshold, {false, 1, 255}},
    // A distance in the ring of frames: a gap the ring cannot hold would compare a frame with
    // itself.
    {"Trigger Gap", "triggerGap", &Settings::triggerGap, {false, 1, kMaxTriggerGap}},
    {"Trigger Count Begin", "triggerCountBegin", &Settings::triggerCountBegin},
    {"Trigger Count End", "triggerCountEnd", &Settings::triggerCountEnd},
    {"Trigger Sum Begin", "triggerSumBegin", &Settings::triggerSumBegin},
    {"Trigger Sum End", "triggerSumEnd", &Settings::triggerSumEnd},
    {"Max Event Time (sec)", "maxEventTime", &Settings::maxEventTime},
};
constexpr Field<bool> kTriggerChecks[] = {
    {"Adaptive Threshold", "adaptiveThreshold", &Settings::adaptiveThreshold},
};

constexpr Field<double> kCalibrationFields[] = {
    {"Rotation", "calRotation", &Settings::calRotation},
    {"Degrees Per Pixel 0", "calDegPerPixel0", &Settings::calDegPerPixel0},
    {"Degrees Per Pixel 1", "calDegPerPixel1", &Settings::calDegPerPixel1},
    {"Degrees Per Pixel 2", "calDegPerPixel2", &Settings::calDegPerPixel2},
    {"Degrees Per Pixel 3", "calDegPerPixel3", &Settings::calDegPerPixel3},
    {"Apparent Latitude", "calApparentLatitude", &Settings::calApparentLatitude},
    {"Apparent Longitude", "calApparentLongitude", &Settings::calApparentLongitude},
    {"True Latitude", "calTrueLatitude", &Settings::calTrueLatitude},
    {"True Longitude", "calTrueLongitude", &Settings::calTrueLongitude},
    {"X Pixel COP", "calCOPx", &Settings::calCOPx},
    {"Y Pixel COP", "calCOPy", &Settings::calCOPy},
};

// "Vardex Options": its digits-only fields and its check boxes, top to bottom.
constexpr Field<int32_t> kVardexCounts[] = {
    {"Max Events Per Hour", "hourlyRate", &Settings::hourlyRate},
    {"Playback Slowdown", "slowdownFactor", &Settings::slowdownFactor},
    {"Days to keep events", "daysToKeep", &Settings::daysToKeep},
};
constexpr Field<uint32_t> kVardexClamped[] = {
    {"PNG Integration Factor (1-10)",
     "pngIntegrationFactor",
     &Settings::pngIntegrationFactor,
     {true, 1, 10}},
    {"Disk Usage %", "diskUsage", &Settings::diskUsage, {true, 25, 90}},
};
constexpr Field<bool> kVardexChecks[] = {
    {"Pseudo Color", "pseudoColor", &Settings::pseudoColor},
    {"Prefer Composites", "preferComposites", &Settings::preferComposites},
    {"Show Tracking Box", "showTrackingBox", &Settings::showTrackingBox},
    {"Minimal Archive", "minimalArchive", &Settings::minimalArchive},
    {"Archive Always", "archiveAlways", &Settings::archiveAlways},
    {"Enable Now", "enableNow", &Settings::enabled},
};

// Why a number typed into a field was not taken; the setting keeps its value.
std::string NotTaken(const char* label, const QString& text, const std::string& why) {
  return std::string("\"") + label + "\" " + text.trimmed().toStdString() +
         " was not taken: " + why + "; the setting keeps its value.";
}

// The number at the start of text, taken by the field's rule; a number the setting cannot hold
// is added to refused.
template <typename T>
void Take(const Field<T>& field, const QString& text, Settings& settings,
          std::vector<std::string>& refused) {
  const std::optional<int> value = ReadLeadingInt(text);
  if (!value) {
    refused.push_back(NotTaken(field.label, text, "it is too large"));
  } else if (field.rule.clamp) {
    settings.*field.member = static_cast<T>(std::clamp(*value, field.rule.low, field.rule.high));
  } else if (*value > field.rule.high) {
    refused.push_back(
        NotTaken(field.label, text, "it must be at most " + std::to_string(field.rule.high)));
  } else if (*value > 0) {
    settings.*field.member = static_cast<T>(*value);
  }
}

// Says what OK refused, one notice each: the dialog hides, the window's strip shows it.
void SayRefused(Station& station, const std::vector<std::string>& refused) {
  for (const std::string& text : refused) {
    station.notices().Say(Severity::kWarning, "options", text);
  }
}

QLineEdit* Edit(QWidget* parent, const char* name, bool digitsOnly) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  if (digitsOnly) {
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  return edit;
}

// One edit per field of the table, added to the form; the edits in table order.
template <typename T, size_t N>
std::vector<QLineEdit*> AddEdits(QDialog* dialog, QFormLayout* form, const Field<T> (&table)[N],
                                 bool digitsOnly) {
  std::vector<QLineEdit*> edits;
  for (const Field<T>& field : table) {
    edits.push_back(Edit(dialog, field.name, digitsOnly));
    form->addRow(QString::fromLatin1(field.label), edits.back());
  }
  return edits;
}

// One check box per field of the table, added to the form; the boxes in table order.
template <size_t N>
std::vector<QCheckBox*> AddChecks(QDialog* dialog, QFormLayout* form,
                                  const Field<bool> (&table)[N]) {
  std::vector<QCheckBox*> checks;
  for (const Field<bool>& field : table) {
    checks.push_back(new QCheckBox(QString::fromLatin1(field.label), dialog));
    checks.back()->setObjectName(QString::fromLatin1(field.name));
    form->addRow(checks.back());
  }
  return checks;
}

QTimeEdit* TimeEdit(QWidget* parent, const char* name) {
  auto* edit = new QTimeEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  return edit;
}

// OK and Cancel under the form; Cancel only hides.
void FinishDialog(QDialog* dialog, QFormLayout* form, std::function<void()> ok) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ok"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancel"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, std::move(ok));
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::hide);
  auto* layout = new QVBoxLayout(dialog);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

QTime TimeOf(TimeOfDay t) {
  return QTime(t.hour, t.minute, t.second);
}

TimeOfDay TimeOfDayOf(const QTime& t) {
  TimeOfDay day;
  day.hour = static_cast<uint8_t>(t.hour());
  day.minute = static_cast<uint8_t>(t.minute());
  day.second = static_cast<uint8_t>(t.second());
  return day;
}

QString General(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return QString::fromLatin1(text);
}

}  // namespace

std::optional<int> ReadLeadingInt(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  errno = 0;
  const long long value = std::strtoll(bytes.constData(), nullptr, 10);
  if (errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

std::optional<double> ReadLeadingDouble(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  const double value = std::strtod(bytes.constData(), nullptr);
  if (!std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

VardexDialog::VardexDialog(QWidget* parent, Station& station, std::function<void(bool)> setPalette,
                           std::function<void()> repaint)
    : QDialog(parent),
      station_(station),
      setPalette_(std::move(setPalette)),
      repaint_(std::move(repaint)) {
  setObjectName(QStringLiteral("vardexOptions"));
  setWindowTitle(QStringLiteral("Vardex Options"));
  auto* form = new QFormLayout;
  timeBase_ = new QComboBox(this);
  timeBase_->setObjectName(QStringLiteral("timeBase"));
  timeBase_->addItems({QStringLiteral("Local"), QStringLiteral("UTC")});
  form->addRow(QStringLiteral("Time Base"), timeBase_);
  disableAt_ = TimeEdit(this, "disableAt");
  form->addRow(QStringLiteral("Disable At Time"), disableAt_);
  enableAt_ = TimeEdit(this, "enableAt");
  form->addRow(QStringLiteral("Enable At Time"), enableAt_);
  counts_ = AddEdits(this, form, kVardexCounts, true);
  clamped_ = AddEdits(this, form, kVardexClamped, true);
  checks_ = AddChecks(this, form, kVardexChecks);
  FinishDialog(this, form, [this] { Ok(); });
}

void VardexDialog::Fill() {
  const std::shared_ptr<const Settings> settings = station_.settings();
  timeBase_->setCurrentIndex(settings->enableDisableTimeIsLocal ? 0 : 1);
  disableAt_->setTime(TimeOf(settings->disableTime));
  enableAt_->setTime(TimeOf(settings->enableTime));
  for (size_t i = 0; i < counts_.size(); ++i) {
    counts_[i]->setText(QString::number((*settings).*kVardexCounts[i].member));
  }
  for (size_t i = 0; i < clamped_.size(); ++i) {
    clamped_[i]->setText(QString::number((*settings).*kVardexClamped[i].member));
  }
  for (size_t i = 0; i < checks_.size(); ++i) {
    checks_[i]->setChecked((*settings).*kVardexChecks[i].member);
  }
}

void VardexDialog::Ok() {
  std::vector<std::string> refused;
  station_.Apply([this, &refused](Settings& s) {
    for (size_t i = 0; i < checks_.size(); ++i) {
      s.*kVardexChecks[i].member = checks_[i]->isChecked();
    }
    for (size_t i = 0; i < counts_.size(); ++i) {
      Take(kVardexCounts[i], counts_[i]->text(), s, refused);
    }
    for (size_t i = 0; i < clamped_.size(); ++i) {
      Take(kVardexClamped[i], clamped_[i]->text(), s, refused);
    }
    s.enableTime = TimeOfDayOf(enableAt_->time());
    s.disableTime = TimeOfDayOf(disableAt_->time());
    s.enableDisableTimeIsLocal = timeBase_->currentIndex() == 0;
  });
  SayRefused(station_, refused);
  setPalette_(station_.settings()->pseudoColor);
  repaint_();
  hide();
}

TriggerDialog::TriggerDialog(QWidget* parent, Station& station)
    : QDialog(parent), station_(station) {
  setObjectName(QStringLiteral("eventOptions"));
  setWindowTitle(QStringLiteral("Event Options"));
  auto* form = new QFormLayout;
  edits_ = AddEdits(this, form, kTriggerFields, false);
  const std::shared_ptr<const Settings> settings = station_.settings();
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i]->setText(QString::number((*settings).*kTriggerFields[i].member));
  }
  checks_ = AddChecks(this, form, kTriggerChecks);
  for (size_t i = 0; i < checks_.size(); ++i) {
    checks_[i]->setChecked((*settings).*kTriggerChecks[i].member);
  }
  FinishDialog(this, form, [this] { Ok(); });
}

void TriggerDialog::Ok() {
  // A threshold that did not change rebuilds nothing (Station::Apply).
  std::vector<std::string> refused;
  station_.Apply([this, &refused](Settings& s) {
    for (size_t i = 0; i < edits_.size(); ++i) {
      Take(kTriggerFields[i], edits_[i]->text(), s, refused);
    }
    for (size_t i = 0; i < checks_.size(); ++i) {
      s.*kTriggerChecks[i].member = checks_[i]->isChecked();
    }
  });
  SayRefused(station_, refused);
  // The fields show what the station uses, not a refused text that the next OK would refuse again.
  const std::shared_ptr<const Settings> settings = station_.settings();
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i]->setText(QString::number((*settings).*kTriggerFields[i].member));
  }
  hide();
}

CalibrationDialog::CalibrationDialog(QWidget* parent, Station& station)
    : QDialog(parent), station_(station) {
  setObjectName(QStringLiteral("calibration"));
  setWindowTitle(QStringLiteral("Calibration"));
  auto* form = new QFormLayout;
  edits_ = AddEdits(this, form, kCalibrationFields, false);
  const std::shared_ptr<const Settings> settings = station_.settings();
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i]->setText(General((*settings).*kCalibrationFields[i].member));
  }
  FinishDialog(this, form, [this] { Ok(); });
}

void CalibrationDialog::Ok() {
  // Text that does not start with a number is stored as 0; a number that is not finite (nan,
  // 1e999) is refused.
  std::vector<std::string> refused;
  station_.Apply([this, &refused](Settings& s) {
    for (size_t i = 0; i < edits_.size(); ++i) {
      if (const std::optional<double> value = ReadLeadingDouble(edits_[i]->text())) {
        s.*kCalibrationFields[i].member = *value;
      } else {
        refused.push_back(
            NotTaken(kCalibrationFields[i].label, edits_[i]->text(), "it is not a finite number"));
      }
    }
  });
  SayRefused(station_, refused);
  const std::shared_ptr<const Settings> settings = station_.settings();
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i]->setText(General((*settings).*kCalibrationFields[i].member));
  }
  hide();
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("about"));
  setWindowTitle(QStringLiteral("About Ombrix"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Ombrix, Version 1.2.3"), this));
  layout->addWidget(new QLabel(QStringLiteral("June 10, 2016"), this));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ok"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
}

}  // namespace ombrix
