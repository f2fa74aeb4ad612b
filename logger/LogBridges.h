// Routes Qt, GLib and GStreamer messages into the log, each with its own tag.
#pragma once

#include <glib-object.h>
#include <gst/gst.h>

#include <QString>
#include <QtGlobal>
#include <string>

// Handler for qInstallMessageHandler. A fatal message is logged, then the process aborts.
void qt_to_clog(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Handler for g_log_set_handler.
void glib_to_log(const gchar* domain, GLogLevelFlags flags, const gchar* message, gpointer data);

// Log function for gst_debug_add_log_function.
void gstreamer_to_log(GstDebugCategory* category, GstDebugLevel level, const gchar* file,
                      const gchar* function, gint line, GObject* object, GstDebugMessage* message,
                      gpointer data);

// The string held by a GValue; empty for a null pointer, a non-string value or a null string.
std::string gvalueToStdString(const GValue* value);

// Installs the three bridges, in start-up order: Qt's handler; GStreamer's log function in
// place of its default output, with the default threshold at ERROR; GLib's handler for the
// default domain (error, critical and warning, plus the recursion and fatal flags).
// `applicationName` names the program in the line logged before a Qt fatal message aborts.
// Safe to call before gst_init; a second call does nothing.
void installLogBridges(const char* applicationName);
