#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ombrix {

// A daily time of day, hour 0..23, minute and second 0..59.
struct TimeOfDay {
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;

  int SecondsSinceMidnight() const { return hour * 3600 + minute * 60 + second; }
  friend bool operator==(const TimeOfDay&, const TimeOfDay&) = default;
};

// The largest trigger gap: a distance back in the ring of 64 frames, which holds the frame
// being compared.
inline constexpr int32_t kMaxTriggerGap = 63;

// The one settings record of the station: plain values. Field names are the keys of config.txt
// and the order below is the order in which the file is written.
struct Settings {
  bool pseudoColor = false;
  bool preferComposites = false;
  bool enabled = false;
  bool minimalArchive = false;
  bool archiveAlways = false;
  bool showTrackingBox = true;
  int32_t slowdownFactor = 1;
  int32_t hourlyRate = 12;
  uint32_t pngIntegrationFactor = 1;
  uint32_t diskUsage = 50;
  int32_t threshold = 30;
  int32_t triggerGap = 10;
  int32_t triggerSumBegin = 12;
  int32_t triggerSumEnd = 5;
  int32_t triggerCountBegin = 2;
  int32_t triggerCountEnd = 2;
  int32_t maxEventTime = 30;
  int32_t daysToKeep = 99;
  uint32_t captureDeviceIndex = 0;
  TimeOfDay enableTime{};
  TimeOfDay disableTime{};
  bool enableDisableTimeIsLocal = true;
  double calRotation = 0;
  double calDegPerPixel0 = 0;
  double calDegPerPixel1 = 0.375;
  double calDegPerPixel2 = 0;
  double calDegPerPixel3 = 0;
  double calApparentLatitude = 0;
  double calApparentLongitude = 0;
  double calTrueLatitude = 0;
  double calTrueLongitude = 0;
  double calCOPx = 320;
  double calCOPy = 240;
  std::string maskFile;       // UTF-8 path of the mask image; empty for none
  std::string archiveFolder;  // base folder of the archive; empty for the default
  // Detection compares each pixel with a threshold learnt from its own noise (AdaptiveThreshold)
  // instead of the threshold setting.
  bool adaptiveThreshold = false;
  // The web page: "ADDR:PORT" to listen on (a host name, an IPv4 address or [IPv6]); empty: off.
  std::string webListen;
  // The station's name in a network of stations (uploads, MQTT); empty: the host name.
  std::string stationName;
  // Delivery of cut events to a collector by rsync over SSH: "user@host:folder"; empty: off.
  std::string uploadTarget;
  int32_t uploadPort = 22;
  std::string uploadKeyFile;         // the SSH private key; empty: the service user's own
  std::string uploadKnownHostsFile;  // empty: known_hosts beside config.txt
  int32_t uploadKbps = 0;            // the most the upload may use; 0: no limit
  // The station's news over MQTT: the broker as "host:port"; empty: off.
  std::string mqttBroker;
  std::string mqttTopic;  // the topic prefix; empty: "ombrix/" and the station's name
  std::string mqttUser;   // empty: no user name and password
  std::string mqttPassword;
  std::string mqttCaFile;  // the broker's CA certificate: TLS; empty: a plain connection
};

// The station's name: stationName, or the host name when it is empty ("station" when even that
// cannot be read). Only letters, digits, '-', '_' and '.' are kept, so that it can name a folder
// and an MQTT topic level.
std::string StationName(const Settings& settings);

// A change of the settings: it edits a copy of the current record.
using SettingsEdit = std::function<void(Settings&)>;

// The settings as the station's threads share them: an immutable record that any thread takes
// with Get() and reads as a whole, so that fields read together (the calibration, the trigger)
// are never a mix of old and new values. Update() copies the current record, edits the copy and
// publishes it; updates are serialised, so that none is lost. A reader keeps the record it took
// for as long as it holds it.
class SharedSettings {
 public:
  explicit SharedSettings(Settings initial = {});
  SharedSettings(const SharedSettings&) = delete;
  SharedSettings& operator=(const SharedSettings&) = delete;

  // The current record. Any thread; copies a pointer under a small lock, allocates nothing.
  std::shared_ptr<const Settings> Get() const;

  struct Change {
    std::shared_ptr<const Settings> before;
    std::shared_ptr<const Settings> after;
  };
  // Publishes the record that edit makes of a copy of the current one. Any thread.
  Change Update(const SettingsEdit& edit);

 private:
  std::mutex updating_;       // one Update at a time
  mutable std::mutex mutex_;  // current_, held only to copy or replace the pointer
  std::shared_ptr<const Settings> current_;
};

}  // namespace ombrix
