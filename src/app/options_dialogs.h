#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <vector>

#include "station/station.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTimeEdit;

namespace ombrix {

// The leading decimal integer of an edit's text; 0 when the text does not start with a number,
// nullopt when the number does not fit 32 bits.
std::optional<int> ReadLeadingInt(const QString& text);
// The leading decimal floating-point number of the text; 0 when it does not start with one,
// nullopt when it is not finite (nan, inf, 1e999).
std::optional<double> ReadLeadingDouble(const QString& text);

// The options dialogs show the station's settings and change them through Station::Apply.

// "Vardex Options": display, schedule, rate, archive and retention choices. Refilled from the
// settings every time it is shown (Fill); OK applies what passes and hides.
class VardexDialog final : public QDialog {
  Q_OBJECT

 public:
  // setPalette(true/false) loads the pseudo-colour or the grey table into the display; repaint
  // invalidates the main window.
  VardexDialog(QWidget* parent, Station& station, std::function<void(bool)> setPalette,
               std::function<void()> repaint);
  void Fill();

 private:
  void Ok();

  Station& station_;
  std::function<void(bool)> setPalette_;
  std::function<void()> repaint_;
  QComboBox* timeBase_;
  QTimeEdit* disableAt_;
  QTimeEdit* enableAt_;
  std::vector<QLineEdit*> counts_;   // taken only when greater than 0
  std::vector<QLineEdit*> clamped_;  // clamped to their ranges
  std::vector<QCheckBox*> checks_;
};

// "Event Options": the trigger parameters and the adaptive threshold. Filled once, when made. OK
// takes each value only when it is greater than 0 (a new threshold rebuilds the station's table at
// once) and the check box as it stands.
class TriggerDialog final : public QDialog {
  Q_OBJECT

 public:
  TriggerDialog(QWidget* parent, Station& station);

 private:
  void Ok();

  Station& station_;
  std::vector<QLineEdit*> edits_;
  std::vector<QCheckBox*> checks_;
};

// "Calibration": the eleven calibration values, shown with %g. Filled once, when made.
class CalibrationDialog final : public QDialog {
  Q_OBJECT

 public:
  CalibrationDialog(QWidget* parent, Station& station);

 private:
  void Ok();

  Station& station_;
  std::vector<QLineEdit*> edits_;
};

// The About box: "About Ombrix".
class AboutDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent);
};

}  // namespace ombrix
