#pragma once

#include <QDialog>
#include <cstdint>
#include <vector>

#include "base/video_control.h"

class QGridLayout;
class QLabel;
class QPushButton;

namespace ombrix {

class Station;

// "Video...": the capture device's own controls, one row each (a number on a slider with its
// value, a switch as a check box, a menu as a list, an action as a button), every change sent to
// the running device at once. After each change the rows are read back from the device, so a
// value the device adjusted, or a control another one switched off, shows as it is. Controls the
// device does not let us set are shown disabled. "Defaults" puts every control back to the
// device's default. The station must outlive the dialog.
class VideoDialog final : public QDialog {
  Q_OBJECT

 public:
  VideoDialog(QWidget* parent, Station& station, std::vector<VideoControl> controls);

  // Reads the controls from the device again and shows them.
  void Reload();
  // Sets every adjustable control that differs from its default to the default.
  void Defaults();

  // The value a slider position stands for, and back.
  static int32_t SliderValue(const VideoControl& control, int position);
  static int SliderPosition(const VideoControl& control, int32_t value);

 private:
  struct Row {
    VideoControl control;
    QWidget* input = nullptr;
    QLabel* value = nullptr;  // a slider's value
  };

  void Show(std::vector<VideoControl> controls);
  void BuildRows(std::vector<VideoControl> controls);
  void AddRow(int line, VideoControl control);
  void UpdateRow(Row& row, VideoControl control);
  void Apply(uint32_t id, int32_t value);

  Station& station_;
  QWidget* rowsWidget_ = nullptr;
  QGridLayout* grid_ = nullptr;
  QLabel* message_ = nullptr;
  QPushButton* defaultsButton_ = nullptr;
  std::vector<Row> rows_;
};

}  // namespace ombrix
