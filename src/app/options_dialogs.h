#pragma once

#include <QDialog>
#include <array>
#include <functional>

#include "config/settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTimeEdit;

namespace ombrix {

// The leading decimal integer of an edit's text; 0 when the text does not start with a number.
int ReadLeadingInt(const QString& text);
// The leading decimal floating-point number of the text; 0 when it does not start with one.
double ReadLeadingDouble(const QString& text);

// "Vardex Options": display, schedule, rate, archive and retention choices. Refilled from the
// settings every time it is shown (Fill); OK stores what passes and hides.
class VardexDialog final : public QDialog {
  Q_OBJECT

 public:
  // setPseudoColor(true/false) loads the colour table into the display and sets pseudoColor;
  // repaint invalidates the main window.
  VardexDialog(QWidget* parent, Settings& settings, std::function<void(bool)> setPseudoColor,
               std::function<void()> repaint);
  void Fill();

 private:
  void Ok();

  Settings& settings_;
  std::function<void(bool)> setPseudoColor_;
  std::function<void()> repaint_;
  QComboBox* timeBase_;
  QTimeEdit* disableAt_;
  QTimeEdit* enableAt_;
  QLineEdit* hourlyRate_;
  QLineEdit* slowdown_;
  QLineEdit* daysToKeep_;
  QLineEdit* pngFactor_;
  QLineEdit* diskUsage_;
  QCheckBox* pseudoColor_;
  QCheckBox* preferComposites_;
  QCheckBox* trackingBox_;
  QCheckBox* minimalArchive_;
  QCheckBox* archiveAlways_;
  QCheckBox* enableNow_;
};

// "Event Options": the trigger parameters. Filled once, when made. OK hands the threshold typed to
// setThreshold (the station takes a new one and rebuilds its table at once) and takes each other
// value only when it is greater than 0.
class TriggerDialog final : public QDialog {
  Q_OBJECT

 public:
  TriggerDialog(QWidget* parent, Settings& settings, std::function<void(int32_t)> setThreshold);

 private:
  void Ok();

  Settings& settings_;
  std::function<void(int32_t)> setThreshold_;
  std::array<QLineEdit*, 7> edits_{};
};

// "Calibration": the eleven calibration values, shown with %g. Filled once, when made.
class CalibrationDialog final : public QDialog {
  Q_OBJECT

 public:
  CalibrationDialog(QWidget* parent, Settings& settings);

 private:
  void Ok();

  Settings& settings_;
  std::array<QLineEdit*, 11> edits_{};
};

// The About box: "About Ombrix".
class AboutDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent);
};

}  // namespace ombrix
