// SPDX-License-Identifier: MIT
// The run sequence: start-up, picture intake, census, chart, the display loop
// with its events and frame-rate report, and shutdown.
#ifndef OMBRIX_MAIN_LOOP_H
#define OMBRIX_MAIN_LOOP_H

void program_init();
void event_update();
void fps_update();
void program_cleanup();
int SDL_main(int argc, char** argv);

#endif
