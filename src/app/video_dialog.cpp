#include "app/video_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>

#include "station/station.h"

namespace ombrix {
namespace {

// A slider with more positions than this moves in coarser steps of the control's own step.
constexpr int64_t kMaxSliderPositions = 100000;

int64_t SliderStep(const VideoControl& control) {
  const int64_t span = int64_t{control.maximum} - control.minimum;
  const int64_t step = control.step;
  if (span / step <= kMaxSliderPositions) {
    return step;
  }
  return (span / kMaxSliderPositions / step + 1) * step;
}

int SliderPositions(const VideoControl& control) {
  return static_cast<int>((int64_t{control.maximum} - control.minimum) / SliderStep(control));
}

QString Name(uint32_t id, const char* prefix) {
  return QString::fromLatin1(prefix) + QString::number(id);
}

QString ValueText(const VideoControl& control) {
  return control.value ? QString::number(*control.value) : QStringLiteral("?");
}

bool SameControls(const std::vector<VideoControl>& a, const std::vector<VideoControl>& b) {
  return std::ranges::equal(a, b, [](const VideoControl& x, const VideoControl& y) {
    return x.id == y.id && x.type == y.type && x.minimum == y.minimum && x.maximum == y.maximum &&
           x.step == y.step && x.menu.size() == y.menu.size();
  });
}

}  // namespace

int32_t VideoDialog::SliderValue(const VideoControl& control, int position) {
  const int64_t value = control.minimum + int64_t{position} * SliderStep(control);
  return static_cast<int32_t>(std::clamp<int64_t>(value, control.minimum, control.maximum));
}

int VideoDialog::SliderPosition(const VideoControl& control, int32_t value) {
  const int64_t step = SliderStep(control);
  const int64_t position = (int64_t{value} - control.minimum + step / 2) / step;
  return static_cast<int>(std::clamp<int64_t>(position, 0, SliderPositions(control)));
}

VideoDialog::VideoDialog(QWidget* parent, Station& station, std::vector<VideoControl> controls)
    : QDialog(parent), station_(station) {
  setObjectName(QStringLiteral("videoDialog"));
  setWindowModality(Qt::WindowModal);
  auto* layout = new QVBoxLayout(this);
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  layout->addWidget(scroll);
  rowsWidget_ = new QWidget(scroll);
  grid_ = new QGridLayout(rowsWidget_);
  grid_->setColumnStretch(1, 1);
  scroll->setWidget(rowsWidget_);
  message_ = new QLabel(this);
  message_->setObjectName(QStringLiteral("message"));
  message_->setWordWrap(true);
  layout->addWidget(message_);
  auto* buttons = new QDialogButtonBox(this);
  defaultsButton_ = buttons->addButton(QStringLiteral("Defaults"), QDialogButtonBox::ResetRole);
  defaultsButton_->setObjectName(QStringLiteral("defaultsButton"));
  QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
  close->setObjectName(QStringLiteral("closeButton"));
  layout->addWidget(buttons);
  connect(defaultsButton_, &QPushButton::clicked, this, &VideoDialog::Defaults);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  Show(std::move(controls));
  resize(480, std::min(640, sizeHint().height() + 40));
  if (parent != nullptr) {
    move(parent->geometry().topLeft() + QPoint(30, 30));
  }
}

void VideoDialog::Reload() {
  std::optional<std::vector<VideoControl>> controls = station_.ListVideoControls();
  if (!controls) {
    BuildRows({});
    message_->setText(QStringLiteral("No capture device is open."));
    defaultsButton_->setEnabled(false);
    return;
  }
  Show(std::move(*controls));
}

void VideoDialog::Show(std::vector<VideoControl> controls) {
  defaultsButton_->setEnabled(!controls.empty());
  if (controls.empty()) {
    message_->setText(QStringLiteral("The capture device has no controls."));
  }
  std::vector<VideoControl> shown;
  for (const Row& row : rows_) {
    shown.push_back(row.control);
  }
  if (rows_.empty() || !SameControls(shown, controls)) {
    BuildRows(std::move(controls));
    return;
  }
  for (size_t i = 0; i < rows_.size(); ++i) {
    UpdateRow(rows_[i], std::move(controls[i]));
  }
}

void VideoDialog::BuildRows(std::vector<VideoControl> controls) {
  // Later: the rows may be rebuilt from a signal of one of their own widgets.
  rows_.clear();
  while (QLayoutItem* item = grid_->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    }
    delete item;
  }
  int line = 0;
  for (VideoControl& control : controls) {
    AddRow(line++, std::move(control));
  }
  grid_->setRowStretch(line, 1);
}

void VideoDialog::AddRow(int line, VideoControl control) {
  const uint32_t id = control.id;
  Row row;
  if (control.type != VideoControlType::kButton) {
    auto* label = new QLabel(QString::fromStdString(control.name), rowsWidget_);
    label->setObjectName(Name(id, "label_"));
    grid_->addWidget(label, line, 0);
  }
  switch (control.type) {
    case VideoControlType::kInteger: {
      auto* slider = new QSlider(Qt::Horizontal, rowsWidget_);
      slider->setRange(0, SliderPositions(control));
      slider->setPageStep(std::max(1, SliderPositions(control) / 10));
      row.value = new QLabel(rowsWidget_);
      row.value->setObjectName(Name(id, "value_"));
      const QFontMetrics metrics = row.value->fontMetrics();
      row.value->setMinimumWidth(
          std::max(metrics.horizontalAdvance(QString::number(control.minimum)),
                   metrics.horizontalAdvance(QString::number(control.maximum))));
      grid_->addWidget(row.value, line, 2);
      connect(slider, &QSlider::valueChanged, this, [this, id](int position) {
        for (const Row& r : rows_) {
          if (r.control.id == id) {
            Apply(id, SliderValue(r.control, position));
            return;
          }
        }
      });
      row.input = slider;
      break;
    }
    case VideoControlType::kBoolean: {
      auto* box = new QCheckBox(rowsWidget_);
      connect(box, &QCheckBox::toggled, this, [this, id](bool on) { Apply(id, on ? 1 : 0); });
      row.input = box;
      break;
    }
    case VideoControlType::kMenu:
    case VideoControlType::kIntegerMenu: {
      auto* list = new QComboBox(rowsWidget_);
      for (const VideoMenuItem& item : control.menu) {
        list->addItem(QString::fromStdString(item.name), item.index);
      }
      connect(list, &QComboBox::currentIndexChanged, this, [this, id, list](int index) {
        if (index >= 0) {
          Apply(id, list->itemData(index).toInt());
        }
      });
      row.input = list;
      break;
    }
    case VideoControlType::kButton: {
      auto* button = new QPushButton(QString::fromStdString(control.name), rowsWidget_);
      connect(button, &QPushButton::clicked, this, [this, id] { Apply(id, 0); });
      row.input = button;
      break;
    }
    case VideoControlType::kOther:
      row.input = new QLabel(QStringLiteral("(cannot be set here)"), rowsWidget_);
      break;
  }
  row.input->setObjectName(Name(id, "control_"));
  grid_->addWidget(row.input, line, 1);
  UpdateRow(row, std::move(control));
  rows_.push_back(row);
}

void VideoDialog::UpdateRow(Row& row, VideoControl control) {
  row.control = std::move(control);
  const VideoControl& c = row.control;
  row.input->setEnabled(c.adjustable() && !c.inactive());
  const QSignalBlocker blocker(row.input);
  if (auto* slider = qobject_cast<QSlider*>(row.input)) {
    slider->setValue(SliderPosition(c, c.value.value_or(c.defaultValue)));
    row.value->setText(ValueText(c));
  } else if (auto* box = qobject_cast<QCheckBox*>(row.input)) {
    box->setChecked(c.value.value_or(0) != 0);
  } else if (auto* list = qobject_cast<QComboBox*>(row.input)) {
    list->setCurrentIndex(c.value ? list->findData(*c.value) : -1);
  }
}

void VideoDialog::Apply(uint32_t id, int32_t value) {
  const bool set = station_.SetVideoControl(id, value);
  Reload();
  if (set) {
    message_->clear();
    return;
  }
  for (const Row& row : rows_) {
    if (row.control.id == id) {
      message_->setText(QString::fromStdString("\"" + row.control.name + "\" could not be set."));
      return;
    }
  }
}

void VideoDialog::Defaults() {
  // One control at a time, each looked at afresh: setting one (an automatic mode) can switch
  // others off, and those are left as they are.
  std::vector<uint32_t> ids;
  for (const Row& row : rows_) {
    ids.push_back(row.control.id);
  }
  int failed = 0;
  for (uint32_t id : ids) {
    const std::optional<std::vector<VideoControl>> controls = station_.ListVideoControls();
    if (!controls) {
      break;
    }
    const auto control = std::ranges::find(*controls, id, &VideoControl::id);
    if (control == controls->end() || !control->adjustable() || control->inactive() ||
        control->type == VideoControlType::kButton || control->value == control->defaultValue) {
      continue;
    }
    if (!station_.SetVideoControl(id, control->defaultValue)) {
      ++failed;
    }
  }
  Reload();
  if (failed > 0) {
    message_->setText(QStringLiteral("Not every control could be set to its default."));
  } else if (!rows_.empty()) {
    message_->clear();
  }
}

}  // namespace ombrix
