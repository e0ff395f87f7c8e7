// How the start of a session reads to a person: each of the host's
// start-up stages named in English, with the host's own status text as the
// detail (it is the host's wire text, in whatever language the host
// speaks), as session_end.js words the endings.

const STAGE_WORDS = {
  startup: 'Starting the host',
  'load-library': 'Loading the core library',
  'bind-api': 'Connecting to the core',
  'system-info': 'Reading what the core is',
  core: 'Found the core',
  'core-init': 'Starting the core',
  'input-device': 'Giving the game a mouse and keyboard',
  'load-content': 'Loading the game',
};

// { title, detail } for a stage and its text; a stage not in the table (the page's own "connecting", or one
// a newer host adds) keeps its text as the title, so nothing is ever left unsaid.
export function describeStage(stage, message = '') {
  const title = STAGE_WORDS[stage];
  if (!title) return { title: message || stage, detail: '' };
  return { title, detail: message };
}
