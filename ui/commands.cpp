#include "ui/commands.h"

// Placeholder until the commands land: every command does nothing yet.
void HandleCommand(int id, int notification) {
  (void)id;
  (void)notification;
}
