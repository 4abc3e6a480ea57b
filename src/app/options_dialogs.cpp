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
#include <cstdio>
#include <cstdlib>

namespace ombrix {
namespace {

// A field of a dialog: its label, the objectName of its edit, and the setting it shows.
template <typename T>
struct Field {
  const char* label;
  const char* name;
  T Settings::*member;
};

constexpr Field<int32_t> kTriggerFields[] = {
    {"Threshold", "threshold", &Settings::threshold},
    {"Trigger Gap", "triggerGap", &Settings::triggerGap},
    {"Trigger Count Begin", "triggerCountBegin", &Settings::triggerCountBegin},
    {"Trigger Count End", "triggerCountEnd", &Settings::triggerCountEnd},
    {"Trigger Sum Begin", "triggerSumBegin", &Settings::triggerSumBegin},
    {"Trigger Sum End", "triggerSumEnd", &Settings::triggerSumEnd},
    {"Max Event Time (sec)", "maxEventTime", &Settings::maxEventTime},
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

QLineEdit* DigitsEdit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  return edit;
}

QLineEdit* TextEdit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  return edit;
}

QCheckBox* Check(QWidget* parent, const char* text, const char* name) {
  auto* box = new QCheckBox(QString::fromLatin1(text), parent);
  box->setObjectName(QString::fromLatin1(name));
  return box;
}

QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  buttons->setObjectName(QStringLiteral("buttons"));
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ok"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancel"));
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::hide);
  return buttons;
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

QString Decimal(int value) {
  return QString::number(value);
}

QString General(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return QString::fromLatin1(text);
}

}  // namespace

int ReadLeadingInt(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return static_cast<int>(std::strtol(bytes.constData(), nullptr, 10));
}

double ReadLeadingDouble(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return std::strtod(bytes.constData(), nullptr);
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
  disableAt_ = new QTimeEdit(this);
  disableAt_->setObjectName(QStringLiteral("disableAt"));
  disableAt_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  form->addRow(QStringLiteral("Disable At Time"), disableAt_);
  enableAt_ = new QTimeEdit(this);
  enableAt_->setObjectName(QStringLiteral("enableAt"));
  enableAt_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  form->addRow(QStringLiteral("Enable At Time"), enableAt_);
  hourlyRate_ = DigitsEdit(this, "hourlyRate");
  form->addRow(QStringLiteral("Max Events Per Hour"), hourlyRate_);
  slowdown_ = DigitsEdit(this, "slowdownFactor");
  form->addRow(QStringLiteral("Playback Slowdown"), slowdown_);
  daysToKeep_ = DigitsEdit(this, "daysToKeep");
  form->addRow(QStringLiteral("Days to keep events"), daysToKeep_);
  pngFactor_ = DigitsEdit(this, "pngIntegrationFactor");
  form->addRow(QStringLiteral("PNG Integration Factor (1-10)"), pngFactor_);
  diskUsage_ = DigitsEdit(this, "diskUsage");
  form->addRow(QStringLiteral("Disk Usage %"), diskUsage_);
  pseudoColor_ = Check(this, "Pseudo Color", "pseudoColor");
  preferComposites_ = Check(this, "Prefer Composites", "preferComposites");
  trackingBox_ = Check(this, "Show Tracking Box", "showTrackingBox");
  minimalArchive_ = Check(this, "Minimal Archive", "minimalArchive");
  archiveAlways_ = Check(this, "Archive Always", "archiveAlways");
  enableNow_ = Check(this, "Enable Now", "enableNow");
  for (QCheckBox* box : {pseudoColor_, preferComposites_, trackingBox_, minimalArchive_,
                         archiveAlways_, enableNow_}) {
    form->addRow(box);
  }
  auto* buttons = OkCancel(this);
  connect(buttons, &QDialogButtonBox::accepted, this, &VardexDialog::Ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void VardexDialog::Fill() {
  const std::shared_ptr<const Settings> settings = station_.settings();
  timeBase_->setCurrentIndex(settings->enableDisableTimeIsLocal ? 0 : 1);
  disableAt_->setTime(TimeOf(settings->disableTime));
  enableAt_->setTime(TimeOf(settings->enableTime));
  hourlyRate_->setText(Decimal(settings->hourlyRate));
  slowdown_->setText(Decimal(settings->slowdownFactor));
  daysToKeep_->setText(Decimal(settings->daysToKeep));
  pngFactor_->setText(Decimal(static_cast<int>(settings->pngIntegrationFactor)));
  diskUsage_->setText(Decimal(static_cast<int>(settings->diskUsage)));
  pseudoColor_->setChecked(settings->pseudoColor);
  preferComposites_->setChecked(settings->preferComposites);
  trackingBox_->setChecked(settings->showTrackingBox);
  minimalArchive_->setChecked(settings->minimalArchive);
  archiveAlways_->setChecked(settings->archiveAlways);
  enableNow_->setChecked(settings->enabled);
}

void VardexDialog::Ok() {
  const bool pseudoColor = pseudoColor_->isChecked();
  station_.Apply([this, pseudoColor](Settings& s) {
    s.pseudoColor = pseudoColor;
    s.preferComposites = preferComposites_->isChecked();
    s.enabled = enableNow_->isChecked();
    s.archiveAlways = archiveAlways_->isChecked();
    s.minimalArchive = minimalArchive_->isChecked();
    s.showTrackingBox = trackingBox_->isChecked();
    if (const int v = ReadLeadingInt(slowdown_->text()); v > 0) {
      s.slowdownFactor = v;
    }
    if (const int v = ReadLeadingInt(hourlyRate_->text()); v > 0) {
      s.hourlyRate = v;
    }
    if (const int v = ReadLeadingInt(daysToKeep_->text()); v > 0) {
      s.daysToKeep = v;
    }
    s.pngIntegrationFactor =
        static_cast<uint32_t>(std::clamp(ReadLeadingInt(pngFactor_->text()), 1, 10));
    s.diskUsage = static_cast<uint32_t>(std::clamp(ReadLeadingInt(diskUsage_->text()), 25, 90));
    s.enableTime = TimeOfDayOf(enableAt_->time());
    s.disableTime = TimeOfDayOf(disableAt_->time());
    s.enableDisableTimeIsLocal = timeBase_->currentIndex() == 0;
  });
  setPalette_(pseudoColor);
  repaint_();
  hide();
}

TriggerDialog::TriggerDialog(QWidget* parent, Station& station)
    : QDialog(parent), station_(station) {
  setObjectName(QStringLiteral("eventOptions"));
  setWindowTitle(QStringLiteral("Event Options"));
  static_assert(std::size(kTriggerFields) == std::tuple_size_v<decltype(edits_)>);
  const std::shared_ptr<const Settings> settings = station_.settings();
  auto* form = new QFormLayout;
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i] = TextEdit(this, kTriggerFields[i].name);
    edits_[i]->setText(Decimal((*settings).*kTriggerFields[i].member));
    form->addRow(QString::fromLatin1(kTriggerFields[i].label), edits_[i]);
  }
  auto* buttons = OkCancel(this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TriggerDialog::Ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void TriggerDialog::Ok() {
  // The threshold too is taken only when greater than 0; one that did not change rebuilds
  // nothing.
  station_.Apply([this](Settings& s) {
    for (size_t i = 0; i < edits_.size(); ++i) {
      if (const int v = ReadLeadingInt(edits_[i]->text()); v > 0) {
        s.*kTriggerFields[i].member = v;
      }
    }
  });
  hide();
}

CalibrationDialog::CalibrationDialog(QWidget* parent, Station& station)
    : QDialog(parent), station_(station) {
  setObjectName(QStringLiteral("calibration"));
  setWindowTitle(QStringLiteral("Calibration"));
  static_assert(std::size(kCalibrationFields) == std::tuple_size_v<decltype(edits_)>);
  const std::shared_ptr<const Settings> settings = station_.settings();
  auto* form = new QFormLayout;
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i] = TextEdit(this, kCalibrationFields[i].name);
    edits_[i]->setText(General((*settings).*kCalibrationFields[i].member));
    form->addRow(QString::fromLatin1(kCalibrationFields[i].label), edits_[i]);
  }
  auto* buttons = OkCancel(this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CalibrationDialog::Ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CalibrationDialog::Ok() {
  station_.Apply([this](Settings& s) {
    for (size_t i = 0; i < edits_.size(); ++i) {
      s.*kCalibrationFields[i].member = ReadLeadingDouble(edits_[i]->text());
    }
  });
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
