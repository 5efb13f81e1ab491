# bash completion for larkspan                                   -*- shell-script -*-
#
# Driven by the tables below: a new command is one line in _larkspan_command_options, a new
# option one word there (or in _larkspan_general_options) and, when it takes a value, one
# entry in _larkspan_option_values. declare -g: bash-completion loads this file from inside a
# function, where a plain declare would make the tables local to it.

# Options every command takes, before or after it.
declare -g _larkspan_general_options="--data --root --json --help --version"

# Each command and the options of its own.
declare -gA _larkspan_command_options=(
  [serve]="--port --interval"
  [index]=""
  [inventory]="--path"
  [invite]=""
  [agent]=""
  [mcp]="--read-only"
  [activity]="--grant"
  [undo]=""
)

# Options that take a value, and what completes it: "folder" for a folder name, "" for text
# the shell cannot guess (a number, a JSON request).
declare -gA _larkspan_option_values=(
  [--data]=folder
  [--root]=folder
  [--path]=folder
  [--port]=""
  [--interval]=""
  [--grant]=""
)

_larkspan() {
  local current=${COMP_WORDS[COMP_CWORD]}
  local previous=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # The value of an option that takes one.
  if [[ $COMP_CWORD -gt 1 && -v _larkspan_option_values[$previous] ]]; then
    if [[ ${_larkspan_option_values[$previous]} == folder ]]; then
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$current")
    fi
    return 0
  fi

  # The command is the first word that is neither an option nor an option's value.
  local command="" index word
  for ((index = 1; index < COMP_CWORD; index++)); do
    word=${COMP_WORDS[index]}
    if [[ -v _larkspan_option_values[$word] ]]; then
      ((index++))
    elif [[ $word != -* ]]; then
      command=$word
      break
    fi
  done

  local candidates=$_larkspan_general_options
  if [[ -z $command ]]; then
    [[ $current == -* ]] || candidates="${!_larkspan_command_options[*]}"
  else
    candidates+=" ${_larkspan_command_options[$command]}"
  fi
  mapfile -t COMPREPLY < <(compgen -W "$candidates" -- "$current")
}

complete -F _larkspan larkspan
