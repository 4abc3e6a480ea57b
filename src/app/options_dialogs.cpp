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

#include "detect/threshold_map.h"

namespace ombrix {
namespace {

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

VardexDialog::VardexDialog(QWidget* parent, Settings& settings,
                           std::function<void(bool)> setPseudoColor, std::function<void()> repaint)
    : QDialog(parent),
      settings_(settings),
      setPseudoColor_(std::move(setPseudoColor)),
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
  timeBase_->setCurrentIndex(settings_.enableDisableTimeIsLocal ? 0 : 1);
  disableAt_->setTime(TimeOf(settings_.disableTime));
  enableAt_->setTime(TimeOf(settings_.enableTime));
  hourlyRate_->setText(Decimal(settings_.hourlyRate));
  slowdown_->setText(Decimal(settings_.slowdownFactor));
  daysToKeep_->setText(Decimal(settings_.daysToKeep));
  pngFactor_->setText(Decimal(static_cast<int>(settings_.pngIntegrationFactor.load())));
  diskUsage_->setText(Decimal(static_cast<int>(settings_.diskUsage.load())));
  pseudoColor_->setChecked(settings_.pseudoColor);
  preferComposites_->setChecked(settings_.preferComposites);
  trackingBox_->setChecked(settings_.showTrackingBox);
  minimalArchive_->setChecked(settings_.minimalArchive);
  archiveAlways_->setChecked(settings_.archiveAlways);
  enableNow_->setChecked(settings_.enabled);
}

void VardexDialog::Ok() {
  setPseudoColor_(pseudoColor_->isChecked());
  settings_.preferComposites = preferComposites_->isChecked();
  settings_.enabled = enableNow_->isChecked();
  settings_.archiveAlways = archiveAlways_->isChecked();
  settings_.minimalArchive = minimalArchive_->isChecked();
  settings_.showTrackingBox = trackingBox_->isChecked();
  if (const int v = ReadLeadingInt(slowdown_->text()); v > 0) {
    settings_.slowdownFactor = v;
  }
  if (const int v = ReadLeadingInt(hourlyRate_->text()); v > 0) {
    settings_.hourlyRate = v;
  }
  if (const int v = ReadLeadingInt(daysToKeep_->text()); v > 0) {
    settings_.daysToKeep = v;
  }
  settings_.pngIntegrationFactor =
      static_cast<uint32_t>(std::clamp(ReadLeadingInt(pngFactor_->text()), 1, 10));
  settings_.diskUsage =
      static_cast<uint32_t>(std::clamp(ReadLeadingInt(diskUsage_->text()), 25, 90));
  repaint_();
  settings_.enableTime = TimeOfDayOf(enableAt_->time());
  settings_.disableTime = TimeOfDayOf(disableAt_->time());
  settings_.enableDisableTimeIsLocal = timeBase_->currentIndex() == 0;
  hide();
}

TriggerDialog::TriggerDialog(QWidget* parent, Settings& settings,
                             std::function<void(int32_t)> setThreshold)
    : QDialog(parent), settings_(settings), setThreshold_(std::move(setThreshold)) {
  setObjectName(QStringLiteral("eventOptions"));
  setWindowTitle(QStringLiteral("Event Options"));
  static constexpr const char* kLabels[7] = {
      "Threshold",         "Trigger Gap",     "Trigger Count Begin", "Trigger Count End",
      "Trigger Sum Begin", "Trigger Sum End", "Max Event Time (sec)"};
  static constexpr const char* kNames[7] = {
      "threshold",       "triggerGap",    "triggerCountBegin", "triggerCountEnd",
      "triggerSumBegin", "triggerSumEnd", "maxEventTime"};
  const int values[7] = {settings.threshold,         settings.triggerGap,
                         settings.triggerCountBegin, settings.triggerCountEnd,
                         settings.triggerSumBegin,   settings.triggerSumEnd,
                         settings.maxEventTime};
  auto* form = new QFormLayout;
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i] = TextEdit(this, kNames[i]);
    edits_[i]->setText(Decimal(values[i]));
    form->addRow(QString::fromLatin1(kLabels[i]), edits_[i]);
  }
  auto* buttons = OkCancel(this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TriggerDialog::Ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void TriggerDialog::Ok() {
  setThreshold_(ReadLeadingInt(edits_[0]->text()));
  Relaxed<int32_t>* const rest[6] = {&settings_.triggerGap,      &settings_.triggerCountBegin,
                                     &settings_.triggerCountEnd, &settings_.triggerSumBegin,
                                     &settings_.triggerSumEnd,   &settings_.maxEventTime};
  for (size_t i = 0; i < 6; ++i) {
    if (const int v = ReadLeadingInt(edits_[i + 1]->text()); v > 0) {
      *rest[i] = v;
    }
  }
  hide();
}

CalibrationDialog::CalibrationDialog(QWidget* parent, Settings& settings)
    : QDialog(parent), settings_(settings) {
  setObjectName(QStringLiteral("calibration"));
  setWindowTitle(QStringLiteral("Calibration"));
  static constexpr const char* kLabels[11] = {"Rotation",
                                              "Degrees Per Pixel 0",
                                              "Degrees Per Pixel 1",
                                              "Degrees Per Pixel 2",
                                              "Degrees Per Pixel 3",
                                              "Apparent Latitude",
                                              "Apparent Longitude",
                                              "True Latitude",
                                              "True Longitude",
                                              "X Pixel COP",
                                              "Y Pixel COP"};
  static constexpr const char* kNames[11] = {"calRotation",
                                             "calDegPerPixel0",
                                             "calDegPerPixel1",
                                             "calDegPerPixel2",
                                             "calDegPerPixel3",
                                             "calApparentLatitude",
                                             "calApparentLongitude",
                                             "calTrueLatitude",
                                             "calTrueLongitude",
                                             "calCOPx",
                                             "calCOPy"};
  auto* form = new QFormLayout;
  Relaxed<double>* const fields[11] = {&settings.calRotation,
                                       &settings.calDegPerPixel0,
                                       &settings.calDegPerPixel1,
                                       &settings.calDegPerPixel2,
                                       &settings.calDegPerPixel3,
                                       &settings.calApparentLatitude,
                                       &settings.calApparentLongitude,
                                       &settings.calTrueLatitude,
                                       &settings.calTrueLongitude,
                                       &settings.calCOPx,
                                       &settings.calCOPy};
  for (size_t i = 0; i < edits_.size(); ++i) {
    edits_[i] = TextEdit(this, kNames[i]);
    edits_[i]->setText(General(*fields[i]));
    form->addRow(QString::fromLatin1(kLabels[i]), edits_[i]);
  }
  auto* buttons = OkCancel(this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CalibrationDialog::Ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CalibrationDialog::Ok() {
  Relaxed<double>* const fields[11] = {&settings_.calRotation,
                                       &settings_.calDegPerPixel0,
                                       &settings_.calDegPerPixel1,
                                       &settings_.calDegPerPixel2,
                                       &settings_.calDegPerPixel3,
                                       &settings_.calApparentLatitude,
                                       &settings_.calApparentLongitude,
                                       &settings_.calTrueLatitude,
                                       &settings_.calTrueLongitude,
                                       &settings_.calCOPx,
                                       &settings_.calCOPy};
  for (size_t i = 0; i < edits_.size(); ++i) {
    *fields[i] = ReadLeadingDouble(edits_[i]->text());
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
